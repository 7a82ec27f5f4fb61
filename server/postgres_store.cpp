// The PostgreSQL store's calls: the names and their addresses on the pool's connections, each
// change one statement that also tells the other servers; the DNS work on a connection of its
// own, a batch held in a transaction until its push ends; the whole store read and written at
// once (migrate, backup into a SQLite file).
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/postgres_store.hpp"

namespace qserver {

namespace {

NameRow ReadName(const PgResult& r, int row) {
  return NameRow{r.At(row, 0), r.At(row, 1), r.At(row, 2), r.At(row, 3), r.At(row, 4), r.At(row, 5), r.At(row, 6)};
}

// A PostgreSQL array literal of texts ({"a","b"}), NULL for an empty one when asked.
std::string Array(const std::vector<std::string>& items, bool emptyIsNull = false) {
  std::string text = "{";
  for (const std::string& item : items) {
    if (text.size() > 1) text += ',';
    if (emptyIsNull && item.empty()) {
      text += "NULL";
      continue;
    }
    text += '"';
    for (char c : item) {
      if (c == '"' || c == '\\') text += '\\';
      text += c;
    }
    text += '"';
  }
  return text + "}";
}

std::string Numbers(const std::vector<long long>& items) {
  std::string text = "{";
  for (long long n : items) {
    if (text.size() > 1) text += ',';
    text += std::to_string(n);
  }
  return text + "}";
}

}  // namespace

Result<NameStore::Added> PostgresStore::Add(const std::string& label, const std::string& digest,
                                            const std::string& now) {
  Result<PgResult> r = Call("add", {label, digest, now, token_});
  if (!r.ok()) return {Added::kAdded, r.error};
  return {r.value.Rows() == 1 ? Added::kAdded : Added::kTaken};
}

Result<bool> PostgresStore::Remove(const std::string& label, bool dns) {
  Result<PgResult> r = Call("remove", {label, dns ? "t" : "f", token_});
  return {r.ok() && r.value.Rows() == 1, r.error};
}

Result<bool> PostgresStore::Rekey(const std::string& label, const std::string& digest) {
  Result<PgResult> r = Call("rekey", {label, digest, token_});
  return {r.ok() && r.value.Rows() == 1, r.error};
}

Result<std::vector<NameRow>> PostgresStore::All() {
  Result<PgResult> r = Call("all", {});
  Result<std::vector<NameRow>> rows;
  rows.error = r.error;
  for (int i = 0; i < r.value.Rows(); ++i) rows.value.push_back(ReadName(r.value, i));
  return rows;
}

Result<std::optional<NameRow>> PostgresStore::FindByDigest(const std::string& digest) {
  Result<PgResult> r = Call("by_digest", {digest});
  if (r.ok() && r.value.Rows() == 1) return {ReadName(r.value, 0)};
  return {std::nullopt, r.error};
}

Result<std::size_t> PostgresStore::Count() {
  Result<PgResult> r = Call("count", {});
  return {r.ok() ? static_cast<std::size_t>(r.value.Number(0, 0)) : 0, r.error};
}

Result<long long> PostgresStore::PendingCount() {
  Result<PgResult> r = Call("pending_count", {});
  return {r.ok() ? r.value.Number(0, 0) : -1, r.error};
}

Result<> PostgresStore::Record(const std::string& label, Family family, const std::string& address,
                               const std::string& now, bool dns) {
  Result<PgResult> r =
      Call(family == kFamilyV4 ? "record4" : "record6", {label, address, now, dns ? "t" : "f", token_});
  if (!r.ok()) return {{}, r.error};
  return {{}, r.value.Rows() == 1 ? "" : "no name " + label + " in the store"};
}

// Under workMutex_: the batch's transaction ended, committed or rolled back.
std::string PostgresStore::EndBatch(const char* how) {
  if (!inBatch_) return "";
  inBatch_ = false;
  PgResult r;
  return RunSql(work_, how, {}, r);
}

Result<std::vector<PendingRow>> PostgresStore::Pending(int limit) {
  std::lock_guard lock(workMutex_);
  EndBatch("COMMIT");
  Result<std::vector<PendingRow>> rows;
  if (!Ready(work_, rows.error)) return rows;
  // REPEATABLE READ: the work's row and its name's addresses from one snapshot. Under READ
  // COMMITTED a row changed and committed between the statement's start and its lock would be
  // locked in its new version beside the name's old addresses: the older address pushed, and
  // the newer work done with it. Here that row fails the statement instead, taken again at once.
  for (int attempt = 0; attempt < 5; ++attempt) {
    PgResult r;
    rows.error = RunSql(work_, "BEGIN ISOLATION LEVEL REPEATABLE READ", {}, r);
    if (!rows.error.empty()) return rows;
    rows.error = Run(work_, "pending", {std::to_string(limit)}, r);
    if (rows.error.empty()) {
      for (int i = 0; i < r.Rows(); ++i)
        rows.value.push_back(PendingRow{r.At(i, 0), static_cast<int>(r.Number(i, 1)), r.Number(i, 2), r.True(i, 3),
                                        r.At(i, 4), r.At(i, 5), r.True(i, 6)});
      inBatch_ = true;
      if (rows.value.empty()) rows.error = EndBatch("COMMIT");
      return rows;
    }
    const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
    const bool conflict = state && std::string(state) == "40001";
    PgResult ended;
    RunSql(work_, "ROLLBACK", {}, ended);
    if (!conflict) return rows;
  }
  return rows;  // the work kept changing under it: the next look takes it
}

Result<> PostgresStore::Done(const std::vector<PendingRow>& rows) {
  std::vector<std::string> labels;
  std::vector<long long> generations;
  for (const PendingRow& row : rows) {
    labels.push_back(row.label);
    generations.push_back(row.generation);
  }
  std::lock_guard lock(workMutex_);
  std::string error;
  if (!inBatch_ && !Ready(work_, error)) return {{}, error};
  PgResult r;
  error = Run(work_, "done", {Array(labels), Numbers(generations)}, r);
  if (!error.empty()) EndBatch("ROLLBACK");
  return {{}, error};
}

Result<> PostgresStore::SetAside(const PendingRow& row) {
  std::lock_guard lock(workMutex_);
  std::string error;
  if (!inBatch_ && !Ready(work_, error)) return {{}, error};
  PgResult r;
  error = Run(work_, "set_aside", {row.label, std::to_string(row.generation)}, r);
  if (!error.empty()) EndBatch("ROLLBACK");
  return {{}, error};
}

Result<> PostgresStore::Release() {
  std::lock_guard lock(workMutex_);
  return {{}, EndBatch("COMMIT")};
}

Result<long long> PostgresStore::PublishAllInto(const std::string& zone) {
  Lease lease = Borrow();
  Connection& c = *lease.c;
  std::string error;
  if (!Ready(c, error)) return {-1, error};
  PgResult r;
  // Two servers starting at once into a new zone: the second finds it done.
  error = RunSql(c, "BEGIN", {}, r);
  if (error.empty()) error = RunSql(c, "SELECT pg_advisory_xact_lock(7151247466935012)", {}, r);
  if (error.empty()) error = RunSql(c, "SELECT value FROM meta WHERE key = 'zone'", {}, r);
  long long added = 0;
  if (error.empty() && (r.Rows() == 0 || r.At(0, 0) != zone)) {
    error = RunSql(c,
                   "INSERT INTO pending(label, families, generation) SELECT label,"
                   " (CASE WHEN coalesce(ipv4, '') <> '' THEN 1 ELSE 0 END)"
                   " | (CASE WHEN coalesce(ipv6, '') <> '' THEN 2 ELSE 0 END),"
                   " (random() * 9007199254740991)::bigint FROM names"
                   " WHERE coalesce(ipv4, '') <> '' OR coalesce(ipv6, '') <> '' ORDER BY label"
                   " ON CONFLICT (label) DO UPDATE SET families = pending.families | excluded.families,"
                   " generation = excluded.generation",
                   {}, r);
    added = r.Changed();
    // Published elsewhere, if ever: in this zone each name must first find itself unused.
    if (error.empty()) error = RunSql(c, "UPDATE names SET published = false WHERE published", {}, r);
    if (error.empty())
      error = RunSql(c,
                     "INSERT INTO meta(key, value) VALUES('zone', $1)"
                     " ON CONFLICT (key) DO UPDATE SET value = excluded.value",
                     {zone}, r);
  }
  PgResult ended;
  const std::string end = RunSql(c, error.empty() ? "COMMIT" : "ROLLBACK", {}, ended);
  if (error.empty()) error = end;
  return {error.empty() ? added : -1, error};
}

Result<StoreContents> PostgresStore::Contents() {
  Lease lease = Borrow();
  Connection& c = *lease.c;
  Result<StoreContents> contents;
  if (!Ready(c, contents.error)) return contents;
  PgResult r;
  // One snapshot for the three tables, while the servers go on writing.
  std::string& error = contents.error;
  error = RunSql(c, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", {}, r);
  if (error.empty())
    error = RunSql(c,
                   "SELECT label, digest, coalesce(ipv4, ''), coalesce(ipv4_time, ''), coalesce(ipv6, ''),"
                   " coalesce(ipv6_time, ''), coalesce(created, ''), published FROM names ORDER BY label",
                   {}, r);
  for (int i = 0; error.empty() && i < r.Rows(); ++i)
    contents.value.names.push_back(StoredName{ReadName(r, i), r.True(i, 7)});
  if (error.empty())
    error = RunSql(c, "SELECT label, families, generation FROM pending ORDER BY queued", {}, r);
  for (int i = 0; error.empty() && i < r.Rows(); ++i)
    contents.value.pending.push_back(StoredWork{r.At(i, 0), static_cast<int>(r.Number(i, 1)), r.Number(i, 2)});
  if (error.empty()) error = RunSql(c, "SELECT key, coalesce(value, '') FROM meta ORDER BY key", {}, r);
  for (int i = 0; error.empty() && i < r.Rows(); ++i) contents.value.meta.emplace_back(r.At(i, 0), r.At(i, 1));
  PgResult ended;
  RunSql(c, "COMMIT", {}, ended);
  return contents;
}

Result<> PostgresStore::Fill(const StoreContents& contents, bool replace) {
  Lease lease = Borrow();
  Connection& c = *lease.c;
  std::string error;
  if (!Ready(c, error)) return {{}, error};
  PgResult r;
  error = RunSql(c, "BEGIN", {}, r);
  // No server may write meanwhile: the copy is the whole store, or nothing.
  if (error.empty()) error = RunSql(c, "LOCK TABLE names, pending, meta IN EXCLUSIVE MODE", {}, r);
  if (error.empty())
    error = RunSql(c, "SELECT (SELECT count(*) FROM names), (SELECT count(*) FROM pending)", {}, r);
  if (error.empty() && (r.Number(0, 0) > 0 || r.Number(0, 1) > 0) && !replace)
    error = "the store is not empty (" + r.At(0, 0) + " name(s), " + r.At(0, 1) + " with DNS work)";
  if (error.empty() && replace) error = RunSql(c, "DELETE FROM pending", {}, r);
  if (error.empty() && replace) error = RunSql(c, "DELETE FROM names", {}, r);
  if (error.empty() && replace) error = RunSql(c, "DELETE FROM meta", {}, r);
  std::vector<std::string> columns[8];
  for (const StoredName& n : contents.names) {
    columns[0].push_back(n.row.label);
    columns[1].push_back(n.row.digest);
    columns[2].push_back(n.row.ipv4);
    columns[3].push_back(n.row.ipv4Time);
    columns[4].push_back(n.row.ipv6);
    columns[5].push_back(n.row.ipv6Time);
    columns[6].push_back(n.row.created);
    columns[7].push_back(n.published ? "t" : "f");
  }
  if (error.empty())
    error = RunSql(c,
                   "INSERT INTO names(label, digest, ipv4, ipv4_time, ipv6, ipv6_time, created, published)"
                   " SELECT * FROM unnest($1::text[], $2::text[], $3::text[], $4::text[], $5::text[], $6::text[],"
                   " $7::text[], $8::boolean[])",
                   {Array(columns[0]), Array(columns[1]), Array(columns[2], true), Array(columns[3], true),
                    Array(columns[4], true), Array(columns[5], true), Array(columns[6], true), Array(columns[7])},
                   r);
  std::vector<std::string> labels;
  std::vector<long long> families, generations;
  for (const StoredWork& w : contents.pending) {
    labels.push_back(w.label);
    families.push_back(w.families);
    generations.push_back(w.generation);
  }
  // WITH ORDINALITY: the work keeps its order, oldest first.
  if (error.empty())
    error = RunSql(c,
                   "INSERT INTO pending(label, families, generation) SELECT label, families, generation"
                   " FROM unnest($1::text[], $2::integer[], $3::bigint[]) WITH ORDINALITY"
                   " AS w(label, families, generation, n) ORDER BY n",
                   {Array(labels), Numbers(families), Numbers(generations)}, r);
  std::vector<std::string> keys, values;
  for (const auto& [key, value] : contents.meta) {
    keys.push_back(key);
    values.push_back(value);
  }
  if (error.empty())
    error = RunSql(c, "INSERT INTO meta(key, value) SELECT * FROM unnest($1::text[], $2::text[])",
                   {Array(keys), Array(values)}, r);
  // Every running server reads the whole store again.
  if (error.empty()) error = RunSql(c, "SELECT pg_notify('quorvel_names', $1::text || ' *')", {token_}, r);
  PgResult ended;
  const std::string end = RunSql(c, error.empty() ? "COMMIT" : "ROLLBACK", {}, ended);
  return {{}, error.empty() ? end : error};
}

// A PostgreSQL store's backup is a SQLite store file: whole, private, readable without a
// server, and what migrate --from takes to bring it back. Written beside the target and renamed
// over it once whole, as SQLite's own backup.
Result<> PostgresStore::Backup(const std::string& path) {
  const Result<StoreContents> contents = Contents();
  if (!contents.ok()) return {{}, contents.error};
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());  // mode 0600
  if (fd < 0) return {{}, "cannot create " + temporary + ": " + std::strerror(errno)};
  ::close(fd);
  std::string error;
  {
    const std::unique_ptr<NameStore> copy = OpenSqliteStore(temporary, false, error);
    if (copy) error = copy->Fill(contents.value, false).error;
  }
  if (error.empty() && ::rename(temporary.c_str(), path.c_str()) != 0)
    error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
  if (!error.empty()) {
    for (const char* tail : {"", "-wal", "-shm"}) ::unlink((temporary + tail).c_str());
  }
  return {{}, error};
}

}  // namespace qserver
