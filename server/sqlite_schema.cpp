// The SQLite store's opening: the file made or checked (its owner, no link), WAL, the schema
// and its migration, the statements prepared.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "server/sqlite_store.hpp"

namespace qserver {

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

std::unique_ptr<NameStore> OpenSqliteStore(const std::string& path, bool create, std::string& error) {
  auto store = std::make_unique<SqliteStore>();
  if (!store->Open(path, create, error)) return nullptr;
  return store;
}

}  // namespace qserver
