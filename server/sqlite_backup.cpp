// The SQLite store's backup: SQLite's online backup in one step, a snapshot taken while the
// server goes on writing, renamed over the target once whole. And the whole store read or
// written at once, for migrate and for a PostgreSQL store's backup into a file.
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

Result<StoreContents> SqliteStore::Contents() {
  std::lock_guard lock(mutex_);
  Result<StoreContents> contents;
  // One read transaction: the names and their work as they were at one moment.
  std::string error = Exec("BEGIN");
  const auto read = [&](const char* sql, auto each) {
    sqlite3_stmt* s = nullptr;
    if (!error.empty()) return;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
      error = Message(db_);
      return;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) each(s);
    if (rc != SQLITE_DONE) error = Message(db_);
    sqlite3_finalize(s);
  };
  read("SELECT label, digest, ipv4, ipv4_time, ipv6, ipv6_time, created, published FROM names ORDER BY label",
       [&](sqlite3_stmt* s) {
         contents.value.names.push_back(StoredName{
             NameRow{Column(s, 0), Column(s, 1), Column(s, 2), Column(s, 3), Column(s, 4), Column(s, 5), Column(s, 6)},
             sqlite3_column_int(s, 7) != 0});
       });
  read("SELECT label, families, generation FROM pending ORDER BY rowid", [&](sqlite3_stmt* s) {
    contents.value.pending.push_back(StoredWork{Column(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int64(s, 2)});
  });
  read("SELECT key, value FROM meta ORDER BY key",
       [&](sqlite3_stmt* s) { contents.value.meta.emplace_back(Column(s, 0), Column(s, 1)); });
  Exec("COMMIT");
  contents.error = error;
  return contents;
}

Result<> SqliteStore::Fill(const StoreContents& contents, bool replace) {
  std::lock_guard lock(mutex_);
  std::string error = Exec("BEGIN IMMEDIATE");
  if (!error.empty()) return {{}, error};
  sqlite3_stmt* s = nullptr;
  long long held = 0;
  if (sqlite3_prepare_v2(db_, "SELECT (SELECT count(*) FROM names) + (SELECT count(*) FROM pending)", -1, &s,
                         nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW)
    held = sqlite3_column_int64(s, 0);
  else
    error = Message(db_);
  sqlite3_finalize(s);
  if (error.empty() && held > 0 && !replace)
    error = "the store is not empty (" + std::to_string(held) + " names and pending works)";
  if (error.empty() && replace) error = Exec("DELETE FROM pending; DELETE FROM names; DELETE FROM meta");
  // An empty text is no address: NULL, as the server leaves it.
  const auto text = [](sqlite3_stmt* st, int i, const std::string& value) {
    if (value.empty())
      sqlite3_bind_null(st, i);
    else
      Bind(st, i, value);
  };
  const auto each = [&](const char* sql, auto bind, const auto& rows) {
    if (!error.empty()) return;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) {
      error = Message(db_);
      return;
    }
    for (const auto& row : rows) {
      bind(st, row);
      if (sqlite3_step(st) != SQLITE_DONE) {
        error = Message(db_);
        break;
      }
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
  };
  each("INSERT INTO names(label, digest, ipv4, ipv4_time, ipv6, ipv6_time, created, published)"
       " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
       [&](sqlite3_stmt* st, const StoredName& n) {
         Bind(st, 1, n.row.label);
         Bind(st, 2, n.row.digest);
         text(st, 3, n.row.ipv4);
         text(st, 4, n.row.ipv4Time);
         text(st, 5, n.row.ipv6);
         text(st, 6, n.row.ipv6Time);
         text(st, 7, n.row.created);
         sqlite3_bind_int(st, 8, n.published ? 1 : 0);
       },
       contents.names);
  each("INSERT INTO pending(label, families, generation) VALUES(?1, ?2, ?3)",
       [&](sqlite3_stmt* st, const StoredWork& w) {
         Bind(st, 1, w.label);
         sqlite3_bind_int(st, 2, w.families);
         sqlite3_bind_int64(st, 3, w.generation);
       },
       contents.pending);
  each("INSERT INTO meta(key, value) VALUES(?1, ?2)",
       [&](sqlite3_stmt* st, const std::pair<std::string, std::string>& m) {
         Bind(st, 1, m.first);
         Bind(st, 2, m.second);
       },
       contents.meta);
  const std::string ended = Exec(error.empty() ? "COMMIT" : "ROLLBACK");
  return {{}, error.empty() ? ended : error};
}

}  // namespace qserver
