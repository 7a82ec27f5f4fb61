// The SQLite engine of the store, in WAL mode: one connection, shared by the threads through a
// lock; statements prepared once. The only file that sees sqlite3.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <mutex>

#include "common/file_stamp.hpp"
#include "server/name_store.hpp"

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
  return NameRow{Column(s, 0), Column(s, 1), Column(s, 2), Column(s, 3), Column(s, 4), Column(s, 5), Column(s, 6)};
}

// The connection's last error, never empty.
std::string Message(sqlite3* db) {
  const char* text = db ? sqlite3_errmsg(db) : nullptr;
  return text && *text ? text : "unknown SQLite error";
}

using quorvel::FileStamp;
using quorvel::StampOf;

class SqliteStore final : public NameStore {
 public:
  ~SqliteStore() override {
    for (sqlite3_stmt* s : statements_) sqlite3_finalize(s);
    if (db_) sqlite3_close(db_);
  }
  bool Open(const std::string& path, bool create, std::string& error);

  Result<Added> Add(const std::string& label, const std::string& digest, const std::string& now) override;
  Result<bool> Remove(const std::string& label, bool dns) override;
  Result<bool> Rekey(const std::string& label, const std::string& digest) override;
  Result<std::vector<NameRow>> All() override;
  Result<std::optional<NameRow>> FindByDigest(const std::string& digest) override;
  Result<std::size_t> Count() override;
  Result<> Record(const std::string& label, Family family, const std::string& address, const std::string& now,
                  bool dns) override;
  Result<std::vector<PendingRow>> Pending(int limit) override;
  Result<> Done(const std::vector<PendingRow>& rows) override;
  Result<> SetAside(const PendingRow& row) override;
  Result<> Backup(const std::string& path) override;
  Result<long long> PendingCount() override;
  Result<long long> PublishAllInto(const std::string& zone) override;
  long long ChangeMark() override;

 private:
  sqlite3_stmt* Prepare(const char* sql);
  std::string Exec(const char* sql);  // the error, empty when done
  std::string AddPending(const std::string& label, int families);
  Result<long long> Number(sqlite3_stmt* s);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;
  sqlite3_stmt *add_ = nullptr, *remove_ = nullptr, *all_ = nullptr, *byDigest_ = nullptr, *count_ = nullptr;
  sqlite3_stmt *record4_ = nullptr, *record6_ = nullptr, *addPending_ = nullptr, *pending_ = nullptr;
  sqlite3_stmt *done_ = nullptr, *pendingCount_ = nullptr, *dataVersion_ = nullptr;
  sqlite3_stmt *rekey_ = nullptr, *published_ = nullptr;

  // The change mark: PRAGMA data_version, asked again only when the files have moved since
  // (a commit writes the WAL) or a second has passed. Taken before mutex_, never inside it.
  std::mutex markMutex_;
  std::string path_, walPath_;
  FileStamp markFile_, markWal_;
  std::chrono::steady_clock::time_point markTime_{};
  long long mark_ = -1;
};

sqlite3_stmt* SqliteStore::Prepare(const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) return nullptr;
  statements_.push_back(s);
  return s;
}

std::string SqliteStore::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? "" : Message(db_);
}

bool SqliteStore::Open(const std::string& path, bool create, std::string& error) {
  // The folder may be reached through links (under DynamicUser, systemd makes
  // /var/lib/quorvel-server a link into private/); SQLITE_OPEN_NOFOLLOW refuses a link
  // anywhere in the path, so the folder is resolved first and only the file itself is checked.
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  char* real = ::realpath(folder.c_str(), nullptr);
  // The service's folder before its first start: made for the first name, systemd moves it
  // under private/ and gives it to the service's user then.
  if (!real && errno == ENOENT && create && ::mkdir(folder.c_str(), 0700) == 0)
    real = ::realpath(folder.c_str(), nullptr);
  if (!real) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string file = std::string(real) + (real[1] ? "/" : "") + path.substr(slash + 1);
  std::free(real);
  path_ = path;
  walPath_ = path + "-wal";
  // A new store holds secrets' digests and addresses: its owner's alone. O_NOFOLLOW: a link
  // planted under its name is refused, not followed. SQLite gives its journals the same mode.
  int fd = ::open(file.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && create) {
    fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    // Made by root in another user's folder (the service's, under DynamicUser): the folder's
    // owner's, or the service could not open it. SQLite gives its journals the store's owner.
    struct stat folderFacts {};
    if (fd >= 0 && ::geteuid() == 0 && ::stat(file.substr(0, file.find_last_of('/') + 1).c_str(), &folderFacts) == 0 &&
        folderFacts.st_uid != 0 && ::fchown(fd, folderFacts.st_uid, folderFacts.st_gid) != 0) {
      error = "cannot give " + path + " to its folder's owner: " + std::strerror(errno);
      ::close(fd);
      ::unlink(file.c_str());
      return false;
    }
  }
  if (fd < 0) {
    error = errno == ENOENT ? "no store at " + path + " (add or import make one, serve --create an empty one)"
                            : "cannot open " + path + ": " + std::strerror(errno);
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
  const std::string failed = Exec(
      "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
      "CREATE TABLE IF NOT EXISTS names(label TEXT PRIMARY KEY, digest TEXT NOT NULL UNIQUE,"
      " ipv4 TEXT, ipv4_time TEXT, ipv6 TEXT, ipv6_time TEXT, created TEXT,"
      " published INTEGER NOT NULL DEFAULT 1);"
      "CREATE TABLE IF NOT EXISTS pending(label TEXT PRIMARY KEY, families INTEGER NOT NULL,"
      " generation INTEGER NOT NULL);"
      "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT);");
  if (!failed.empty()) {
    error = "cannot use " + path + " as a store: " + failed;
    return false;
  }
  // A store made before names were marked published: its names were, when it had a zone.
  sqlite3_stmt* probe = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT published FROM names LIMIT 0", -1, &probe, nullptr) != SQLITE_OK) {
    const std::string altered = Exec("ALTER TABLE names ADD COLUMN published INTEGER NOT NULL DEFAULT 1");
    if (!altered.empty()) {
      error = "cannot use " + path + " as a store: " + altered;
      return false;
    }
  }
  sqlite3_finalize(probe);
  // A name added again before the removal of its records is carried out: the records there
  // are still this server's, replaced without the prerequisite (else the removal would be
  // dropped with the name set aside, and the old records stay).
  add_ = Prepare(
      "INSERT INTO names(label, digest, created, published)"
      " VALUES(?1, ?2, ?3, EXISTS(SELECT 1 FROM pending WHERE label = ?1))");
  rekey_ = Prepare("UPDATE names SET digest = ?2 WHERE label = ?1");
  published_ = Prepare("UPDATE names SET published = 1 WHERE label = ?1");
  remove_ = Prepare("DELETE FROM names WHERE label = ?1");
  all_ = Prepare("SELECT label, digest, ipv4, ipv4_time, ipv6, ipv6_time, created FROM names ORDER BY label");
  byDigest_ =
      Prepare("SELECT label, digest, ipv4, ipv4_time, ipv6, ipv6_time, created FROM names WHERE digest = ?1");
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
      "SELECT p.label, p.families, p.generation, n.label IS NOT NULL, n.ipv4, n.ipv6, n.published = 0"
      " FROM pending p "
      "LEFT JOIN names n ON n.label = p.label ORDER BY p.rowid LIMIT ?1");
  done_ = Prepare("DELETE FROM pending WHERE label = ?1 AND generation = ?2");
  pendingCount_ = Prepare("SELECT count(*) FROM pending");
  dataVersion_ = Prepare("PRAGMA data_version");
  for (sqlite3_stmt* s : statements_) {
    if (!s) {
      error = "cannot use " + path + " as a store: " + Message(db_);
      return false;
    }
  }
  return true;
}

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

Result<> SqliteStore::Backup(const std::string& path) {
  // Into a file of its own beside the target, renamed over it once whole: a backup cut short
  // never replaces the last good one.
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());  // mode 0600
  if (fd < 0) return {{}, "cannot create " + temporary + ": " + std::strerror(errno)};
  ::close(fd);
  sqlite3* copy = nullptr;
  std::string error;
  if (sqlite3_open_v2(temporary.c_str(), &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) !=
      SQLITE_OK) {
    error = Message(copy);
  } else {
    std::lock_guard lock(mutex_);
    // One step holds a read transaction over the whole copy: a snapshot, while the server
    // goes on writing (WAL: the writer never waits for it).
    sqlite3_backup* backup = sqlite3_backup_init(copy, "main", db_, "main");
    if (!backup) {
      error = Message(copy);
    } else {
      int rc;
      while ((rc = sqlite3_backup_step(backup, -1)) == SQLITE_BUSY || rc == SQLITE_LOCKED) sqlite3_sleep(50);
      sqlite3_backup_finish(backup);
      if (rc != SQLITE_DONE) error = Message(copy);
    }
  }
  if (copy && sqlite3_close(copy) != SQLITE_OK && error.empty()) error = "cannot close " + temporary;
  if (error.empty() && ::rename(temporary.c_str(), path.c_str()) != 0)
    error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
  if (!error.empty()) {
    ::unlink(temporary.c_str());
    ::unlink((temporary + "-journal").c_str());
  }
  return {{}, error};
}

Result<long long> SqliteStore::PendingCount() {
  std::lock_guard lock(mutex_);
  return Number(pendingCount_);
}

long long SqliteStore::ChangeMark() {
  // The files first, then the version: a commit after the stamps moves them again, so the
  // version kept with them is never older than they are.
  const FileStamp file = StampOf(path_), wal = StampOf(walPath_);
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard markLock(markMutex_);
  if (file == markFile_ && wal == markWal_ && now - markTime_ < std::chrono::seconds(1)) return mark_;
  std::lock_guard lock(mutex_);
  mark_ = Number(dataVersion_).value;
  markFile_ = file;
  markWal_ = wal;
  markTime_ = now;
  return mark_;
}

}  // namespace

std::unique_ptr<NameStore> OpenSqliteStore(const std::string& path, bool create, std::string& error) {
  auto store = std::make_unique<SqliteStore>();
  if (!store->Open(path, create, error)) return nullptr;
  return store;
}

}  // namespace qserver
