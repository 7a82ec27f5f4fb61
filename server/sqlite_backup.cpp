// The SQLite store's backup: SQLite's online backup in one step, a snapshot taken while the
// server goes on writing, renamed over the target once whole.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/sqlite_store.hpp"

namespace qserver {

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

}  // namespace qserver
