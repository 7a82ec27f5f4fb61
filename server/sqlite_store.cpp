// The SQLite store's statements: the names, their addresses and the pending DNS work, each
// call under the connection's lock, a change and its DNS work in one transaction.
#include "server/sqlite_store.hpp"

namespace qserver {

namespace {

NameRow ReadName(sqlite3_stmt* s) {
  return NameRow{Column(s, 0), Column(s, 1), Column(s, 2), Column(s, 3), Column(s, 4), Column(s, 5), Column(s, 6)};
}

}  // namespace

Result<long long> SqliteStore::PublishAllInto(const std::string& zone) {
  std::lock_guard lock(mutex_);
  std::string error = Exec("BEGIN IMMEDIATE");
  if (!error.empty()) return {-1, error};
  sqlite3_stmt* s = nullptr;
  std::string published;
  if (sqlite3_prepare_v2(db_, "SELECT value FROM meta WHERE key = 'zone'", -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW)
    published = Column(s, 0);
  sqlite3_finalize(s);
  long long added = 0;
  if (published != zone) {
    error = Exec(
        "INSERT INTO pending(label, families, generation) SELECT label,"
        " (ipv4 IS NOT NULL AND ipv4 != '') | ((ipv6 IS NOT NULL AND ipv6 != '') << 1), random() FROM names"
        " WHERE (ipv4 IS NOT NULL AND ipv4 != '') OR (ipv6 IS NOT NULL AND ipv6 != '') ON CONFLICT(label)"
        " DO UPDATE SET families = families | excluded.families, generation = excluded.generation");
    added = sqlite3_changes(db_);
    // Published elsewhere, if ever: in this zone each name must first find itself unused.
    if (error.empty()) error = Exec("UPDATE names SET published = 0");
    s = nullptr;
    if (error.empty() && sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES('zone', ?1)",
                                            -1, &s, nullptr) == SQLITE_OK) {
      Bind(s, 1, zone);
      if (sqlite3_step(s) != SQLITE_DONE) error = Message(db_);
    } else if (error.empty()) {
      error = Message(db_);
    }
    sqlite3_finalize(s);
  }
  Exec(error.empty() ? "COMMIT" : "ROLLBACK");
  return {error.empty() ? added : -1, error};
}

Result<NameStore::Added> SqliteStore::Add(const std::string& label, const std::string& digest,
                                          const std::string& now) {
  std::lock_guard lock(mutex_);
  Reset r{add_};
  Bind(add_, 1, label);
  Bind(add_, 2, digest);
  Bind(add_, 3, now);
  if (sqlite3_step(add_) == SQLITE_DONE) return {Added::kAdded};
  if (sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_PRIMARYKEY) return {Added::kTaken};
  return {Added::kAdded, Message(db_)};
}

std::string SqliteStore::AddPending(const std::string& label, int families) {
  Reset r{addPending_};
  Bind(addPending_, 1, label);
  sqlite3_bind_int(addPending_, 2, families);
  return sqlite3_step(addPending_) == SQLITE_DONE ? "" : Message(db_);
}

Result<bool> SqliteStore::Remove(const std::string& label, bool dns) {
  std::lock_guard lock(mutex_);
  std::string error = Exec("BEGIN IMMEDIATE");
  if (!error.empty()) return {false, error};
  bool removed = false;
  {
    Reset r{remove_};
    Bind(remove_, 1, label);
    if (sqlite3_step(remove_) == SQLITE_DONE)
      removed = sqlite3_changes(db_) == 1;
    else
      error = Message(db_);
  }
  if (removed && dns) error = AddPending(label, kFamilyV4 | kFamilyV6);
  Exec(removed && error.empty() ? "COMMIT" : "ROLLBACK");
  return {removed && error.empty(), error};
}

Result<std::vector<NameRow>> SqliteStore::All() {
  std::lock_guard lock(mutex_);
  Reset r{all_};
  Result<std::vector<NameRow>> rows;
  int rc;
  while ((rc = sqlite3_step(all_)) == SQLITE_ROW) rows.value.push_back(ReadName(all_));
  if (rc != SQLITE_DONE) rows.error = Message(db_);
  return rows;
}

Result<std::optional<NameRow>> SqliteStore::FindByDigest(const std::string& digest) {
  std::lock_guard lock(mutex_);
  Reset r{byDigest_};
  Bind(byDigest_, 1, digest);
  const int rc = sqlite3_step(byDigest_);
  if (rc == SQLITE_ROW) return {ReadName(byDigest_)};
  return {std::nullopt, rc == SQLITE_DONE ? "" : Message(db_)};
}

Result<long long> SqliteStore::Number(sqlite3_stmt* s) {
  Reset r{s};
  if (sqlite3_step(s) == SQLITE_ROW) return {sqlite3_column_int64(s, 0)};
  return {-1, Message(db_)};
}

Result<std::size_t> SqliteStore::Count() {
  std::lock_guard lock(mutex_);
  const Result<long long> n = Number(count_);
  return {n.ok() ? static_cast<std::size_t>(n.value) : 0, n.error};
}

Result<> SqliteStore::Record(const std::string& label, Family family, const std::string& address,
                             const std::string& now, bool dns) {
  std::lock_guard lock(mutex_);
  sqlite3_stmt* s = family == kFamilyV4 ? record4_ : record6_;
  std::string error = dns ? Exec("BEGIN IMMEDIATE") : "";
  if (!error.empty()) return {{}, error};
  {
    Reset r{s};
    Bind(s, 1, label);
    Bind(s, 2, address);
    Bind(s, 3, now);
    if (sqlite3_step(s) != SQLITE_DONE)
      error = Message(db_);
    else if (sqlite3_changes(db_) != 1)
      error = "no name " + label + " in the store";
  }
  if (error.empty() && dns) error = AddPending(label, family);
  if (dns) {
    const std::string ended = Exec(error.empty() ? "COMMIT" : "ROLLBACK");
    if (error.empty()) error = ended;
  }
  return {{}, error};
}

Result<std::vector<PendingRow>> SqliteStore::Pending(int limit) {
  std::lock_guard lock(mutex_);
  Reset r{pending_};
  sqlite3_bind_int(pending_, 1, limit);
  Result<std::vector<PendingRow>> rows;
  int rc;
  while ((rc = sqlite3_step(pending_)) == SQLITE_ROW) {
    rows.value.push_back(PendingRow{Column(pending_, 0), sqlite3_column_int(pending_, 1),
                                    sqlite3_column_int64(pending_, 2), sqlite3_column_int(pending_, 3) != 0,
                                    Column(pending_, 4), Column(pending_, 5),
                                    sqlite3_column_int(pending_, 6) != 0});
  }
  if (rc != SQLITE_DONE) rows.error = Message(db_);
  return rows;
}

Result<> SqliteStore::Done(const std::vector<PendingRow>& rows) {
  std::lock_guard lock(mutex_);
  std::string error = Exec("BEGIN IMMEDIATE");
  if (!error.empty()) return {{}, error};
  for (const PendingRow& row : rows) {
    Reset r{done_};
    Bind(done_, 1, row.label);
    sqlite3_bind_int64(done_, 2, row.generation);
    if (sqlite3_step(done_) != SQLITE_DONE && error.empty()) error = Message(db_);
    Reset p{published_};
    Bind(published_, 1, row.label);
    if (sqlite3_step(published_) != SQLITE_DONE && error.empty()) error = Message(db_);
  }
  const std::string ended = Exec("COMMIT");
  return {{}, error.empty() ? ended : error};
}

Result<> SqliteStore::SetAside(const PendingRow& row) {
  std::lock_guard lock(mutex_);
  Reset r{done_};
  Bind(done_, 1, row.label);
  sqlite3_bind_int64(done_, 2, row.generation);
  return {{}, sqlite3_step(done_) == SQLITE_DONE ? "" : Message(db_)};
}

Result<bool> SqliteStore::Rekey(const std::string& label, const std::string& digest) {
  std::lock_guard lock(mutex_);
  Reset r{rekey_};
  Bind(rekey_, 1, label);
  Bind(rekey_, 2, digest);
  if (sqlite3_step(rekey_) != SQLITE_DONE) return {false, Message(db_)};
  return {sqlite3_changes(db_) == 1};
}


Result<long long> SqliteStore::PendingCount() {
  std::lock_guard lock(mutex_);
  return Number(pendingCount_);
}

}  // namespace qserver
