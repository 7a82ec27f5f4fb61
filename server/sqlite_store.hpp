// The SQLite engine of the store, in WAL mode: one connection, shared by the threads through a
// lock; statements prepared once. Seen only by the engine's own files, never by the store's users.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "common/file_stamp.hpp"
#include "server/name_store.hpp"

namespace qserver {

// Resets a statement however the caller leaves.
struct Reset {
  sqlite3_stmt* s;
  ~Reset() {
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
  }
};

inline void Bind(sqlite3_stmt* s, int i, const std::string& text) {
  sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

inline std::string Column(sqlite3_stmt* s, int i) {
  const unsigned char* text = sqlite3_column_text(s, i);
  return text ? reinterpret_cast<const char*>(text) : "";
}

// The connection's last error, never empty.
inline std::string Message(sqlite3* db) {
  const char* text = db ? sqlite3_errmsg(db) : nullptr;
  return text && *text ? text : "unknown SQLite error";
}

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
  Result<StoreContents> Contents() override;
  Result<> Fill(const StoreContents& contents, bool replace) override;

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
  quorvel::FileStamp markFile_, markWal_;
  std::chrono::steady_clock::time_point markTime_{};
  long long mark_ = -1;
};

}  // namespace qserver
