// The SQLite store's change mark: what tells the server that another process (add, remove,
// rekey, import) wrote the store, without a query on every miss.
#include "server/sqlite_store.hpp"

namespace qserver {

using quorvel::FileStamp;
using quorvel::StampOf;

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

}  // namespace qserver
