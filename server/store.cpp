#include "server/store.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qserver {

namespace {

// Resets a statement however the caller leaves.
struct Reset {
  sqlite3_stmt* s;
  ~Reset() {
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
  }
};

void Bind(sqlite3_stmt* s, int i, const std::string& text) {
  sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string Column(sqlite3_stmt* s, int i) {
  const unsigned char* text = sqlite3_column_text(s, i);
  return text ? reinterpret_cast<const char*>(text) : "";
}

NameRow ReadName(sqlite3_stmt* s) {
  return NameRow{Column(s, 0), Column(s, 1), Column(s, 2), Column(s, 3), Column(s, 4), Column(s, 5)};
}

}  // namespace

Store::~Store() {
  for (sqlite3_stmt* s : statements_) sqlite3_finalize(s);
  if (db_) sqlite3_close(db_);
}

sqlite3_stmt* Store::Prepare(const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) return nullptr;
  statements_.push_back(s);
  return s;
}

bool Store::Exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  lastError_ = sqlite3_errmsg(db_);
  return false;
}

bool Store::Open(const std::string& path, std::string& error) {
  // The folder may be reached through links (under DynamicUser, systemd makes
  // /var/lib/quorvel-server a link into private/); SQLITE_OPEN_NOFOLLOW refuses a link
  // anywhere in the path, so the folder is resolved first and only the file itself is checked.
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  char* real = ::realpath(folder.c_str(), nullptr);
  if (!real) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string file = std::string(real) + (real[1] ? "/" : "") + path.substr(slash + 1);
  std::free(real);
  // A new store holds secrets' digests and addresses: its owner's alone. O_NOFOLLOW: a link
  // planted under its name is refused, not followed. SQLite gives its journals the same mode.
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) !=
      SQLITE_OK) {
    error = "cannot open " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
    return false;
  }
  // Another process writing (add, import) holds the lock for moments; longer, and a request
  // gives up rather than hold the others back.
  sqlite3_busy_timeout(db_, 1000);
  // WAL: readers never wait for the writer, and a commit is one append. synchronous=NORMAL
  // keeps the store whole after a crash; a power cut may lose the last moments of changes,
  // which the clients' next update brings back.
  if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
            "CREATE TABLE IF NOT EXISTS names(label TEXT PRIMARY KEY, digest TEXT NOT NULL UNIQUE,"
            " ipv4 TEXT, ipv4_time TEXT, ipv6 TEXT, ipv6_time TEXT, created TEXT);"
            "CREATE TABLE IF NOT EXISTS pending(label TEXT PRIMARY KEY, families INTEGER NOT NULL,"
            " generation INTEGER NOT NULL);"
            "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT);")) {
    error = "cannot use " + path + " as a store: " + lastError_;
    return false;
  }
  add_ = Prepare("INSERT INTO names(label, digest, created) VALUES(?1, ?2, ?3)");
  remove_ = Prepare("DELETE FROM names WHERE label = ?1");
  all_ = Prepare("SELECT label, digest, ipv4, ipv4_time, ipv6, ipv6_time FROM names ORDER BY label");
  byDigest_ = Prepare("SELECT label, digest, ipv4, ipv4_time, ipv6, ipv6_time FROM names WHERE digest = ?1");
  count_ = Prepare("SELECT count(*) FROM names");
  record4_ = Prepare("UPDATE names SET ipv4 = ?2, ipv4_time = ?3 WHERE label = ?1");
  record6_ = Prepare("UPDATE names SET ipv6 = ?2, ipv6_time = ?3 WHERE label = ?1");
  // A generation is drawn afresh at each change, never counted from 1 again: a name whose
  // work another process (remove) carried out and deleted, then changed again, must not match
  // what the server read before, or the server's Done would drop the newer change.
  addPending_ = Prepare(
      "INSERT INTO pending(label, families, generation) VALUES(?1, ?2, random()) ON CONFLICT(label) DO "
      "UPDATE SET families = families | excluded.families, generation = excluded.generation");
  pending_ = Prepare(
      "SELECT p.label, p.families, p.generation, n.label IS NOT NULL, n.ipv4, n.ipv6 FROM pending p "
      "LEFT JOIN names n ON n.label = p.label ORDER BY p.rowid LIMIT ?1");
  done_ = Prepare("DELETE FROM pending WHERE label = ?1 AND generation = ?2");
  pendingCount_ = Prepare("SELECT count(*) FROM pending");
  dataVersion_ = Prepare("PRAGMA data_version");
  for (sqlite3_stmt* s : statements_) {
    if (!s) {
      error = std::string("cannot use ") + path + " as a store: " + sqlite3_errmsg(db_);
      return false;
    }
  }
  return true;
}

long long Store::PublishAllInto(const std::string& zone) {
  std::lock_guard lock(mutex_);
  if (!Exec("BEGIN IMMEDIATE")) return -1;
  sqlite3_stmt* s = nullptr;
  std::string published;
  if (sqlite3_prepare_v2(db_, "SELECT value FROM meta WHERE key = 'zone'", -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW)
    published = Column(s, 0);
  sqlite3_finalize(s);
  long long added = 0;
  bool ok = true;
  if (published != zone) {
    ok = Exec(
        "INSERT INTO pending(label, families, generation) SELECT label,"
        " (ipv4 IS NOT NULL AND ipv4 != '') | ((ipv6 IS NOT NULL AND ipv6 != '') << 1), random() FROM names"
        " WHERE (ipv4 IS NOT NULL AND ipv4 != '') OR (ipv6 IS NOT NULL AND ipv6 != '') ON CONFLICT(label)"
        " DO UPDATE SET families = families | excluded.families, generation = excluded.generation");
    added = ok ? sqlite3_changes(db_) : -1;
    s = nullptr;
    ok = ok && sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES('zone', ?1)", -1, &s,
                                  nullptr) == SQLITE_OK;
    if (ok) {
      Bind(s, 1, zone);
      ok = sqlite3_step(s) == SQLITE_DONE;
    }
    sqlite3_finalize(s);
  }
  Exec(ok ? "COMMIT" : "ROLLBACK");
  return ok ? added : -1;
}

Store::AddResult Store::Add(const std::string& label, const std::string& digest, const std::string& now) {
  std::lock_guard lock(mutex_);
  Reset r{add_};
  Bind(add_, 1, label);
  Bind(add_, 2, digest);
  Bind(add_, 3, now);
  int rc = sqlite3_step(add_);
  if (rc == SQLITE_DONE) return AddResult::kAdded;
  lastError_ = sqlite3_errmsg(db_);
  return sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_PRIMARYKEY ? AddResult::kTaken
                                                                       : AddResult::kFailed;
}

bool Store::AddPending(const std::string& label, int families) {
  Reset r{addPending_};
  Bind(addPending_, 1, label);
  sqlite3_bind_int(addPending_, 2, families);
  return sqlite3_step(addPending_) == SQLITE_DONE;
}

bool Store::Remove(const std::string& label, bool dns) {
  std::lock_guard lock(mutex_);
  if (!Exec("BEGIN IMMEDIATE")) return false;
  bool ok;
  {
    Reset r{remove_};
    Bind(remove_, 1, label);
    ok = sqlite3_step(remove_) == SQLITE_DONE && sqlite3_changes(db_) == 1;
  }
  if (ok && dns) ok = AddPending(label, kFamilyV4 | kFamilyV6);
  if (!ok) lastError_ = sqlite3_errmsg(db_);
  Exec(ok ? "COMMIT" : "ROLLBACK");
  return ok;
}

std::vector<NameRow> Store::All() {
  std::lock_guard lock(mutex_);
  Reset r{all_};
  std::vector<NameRow> rows;
  while (sqlite3_step(all_) == SQLITE_ROW) rows.push_back(ReadName(all_));
  return rows;
}

std::optional<NameRow> Store::FindByDigest(const std::string& digest) {
  std::lock_guard lock(mutex_);
  Reset r{byDigest_};
  Bind(byDigest_, 1, digest);
  if (sqlite3_step(byDigest_) != SQLITE_ROW) return {};
  return ReadName(byDigest_);
}

std::size_t Store::Count() {
  std::lock_guard lock(mutex_);
  Reset r{count_};
  return sqlite3_step(count_) == SQLITE_ROW ? static_cast<std::size_t>(sqlite3_column_int64(count_, 0)) : 0;
}

bool Store::Record(const std::string& label, Family family, const std::string& address,
                   const std::string& now, bool dns) {
  std::lock_guard lock(mutex_);
  sqlite3_stmt* s = family == kFamilyV4 ? record4_ : record6_;
  if (dns && !Exec("BEGIN IMMEDIATE")) return false;
  bool ok;
  {
    Reset r{s};
    Bind(s, 1, label);
    Bind(s, 2, address);
    Bind(s, 3, now);
    ok = sqlite3_step(s) == SQLITE_DONE && sqlite3_changes(db_) == 1;
  }
  if (ok && dns) ok = AddPending(label, family);
  if (!ok) lastError_ = sqlite3_errmsg(db_);
  if (dns) ok = Exec(ok ? "COMMIT" : "ROLLBACK") && ok;
  return ok;
}

std::vector<PendingRow> Store::Pending(int limit) {
  std::lock_guard lock(mutex_);
  Reset r{pending_};
  sqlite3_bind_int(pending_, 1, limit);
  std::vector<PendingRow> rows;
  while (sqlite3_step(pending_) == SQLITE_ROW) {
    rows.push_back(PendingRow{Column(pending_, 0), sqlite3_column_int(pending_, 1),
                              sqlite3_column_int64(pending_, 2), sqlite3_column_int(pending_, 3) != 0,
                              Column(pending_, 4), Column(pending_, 5)});
  }
  return rows;
}

void Store::Done(const std::vector<PendingRow>& rows) {
  std::lock_guard lock(mutex_);
  Exec("BEGIN IMMEDIATE");
  for (const PendingRow& row : rows) {
    Reset r{done_};
    Bind(done_, 1, row.label);
    sqlite3_bind_int64(done_, 2, row.generation);
    sqlite3_step(done_);
  }
  Exec("COMMIT");
}

long long Store::PendingCount() {
  std::lock_guard lock(mutex_);
  Reset r{pendingCount_};
  return sqlite3_step(pendingCount_) == SQLITE_ROW ? sqlite3_column_int64(pendingCount_, 0) : -1;
}

long long Store::DataVersion() {
  std::lock_guard lock(mutex_);
  Reset r{dataVersion_};
  return sqlite3_step(dataVersion_) == SQLITE_ROW ? sqlite3_column_int64(dataVersion_, 0) : -1;
}

}  // namespace qserver
