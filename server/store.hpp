// The server's store: SQLite in WAL mode. A name, the digest of its identifier, its IPv4 and
// IPv6 address with when each was recorded, and the DNS work not yet carried out. One
// connection, shared by the threads through a lock; statements are prepared once.
#pragma once

#include <sqlite3.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qserver {

enum Family : int { kFamilyV4 = 1, kFamilyV6 = 2 };

struct NameRow {
  std::string label;
  std::string digest;
  std::string ipv4, ipv4Time, ipv6, ipv6Time;
};

// DNS work for one name: the families whose records must be made to match the store.
struct PendingRow {
  std::string label;
  int families = 0;
  long long generation = 0;
  bool exists = false;  // false: the name was removed, its records go
  std::string ipv4, ipv6;
};

class Store {
 public:
  Store() = default;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Opens or creates the file (created readable by its owner only). False with a message.
  bool Open(const std::string& path, std::string& error);

  enum class AddResult { kAdded, kTaken, kFailed };
  AddResult Add(const std::string& label, const std::string& digest, const std::string& now);
  // Takes the name out; with dns, leaves work to remove its records. False if there was none.
  bool Remove(const std::string& label, bool dns);
  std::vector<NameRow> All();
  std::optional<NameRow> FindByDigest(const std::string& digest);
  std::size_t Count();

  // Records the address of one family; with dns, also the work to publish it, in the same
  // transaction. False when it could not be written.
  bool Record(const std::string& label, Family family, const std::string& address, const std::string& now,
              bool dns);

  std::vector<PendingRow> Pending(int limit);
  // Drops the work once done, unless it has changed since it was read.
  void Done(const std::vector<PendingRow>& rows);
  long long PendingCount();

  // The first time the store is served into this zone (a store recorded without DNS, or
  // for another zone): every recorded address becomes DNS work. Returns how many names, -1
  // when the store could not be written.
  long long PublishAllInto(const std::string& zone);

  // Moves when another process writes the store (add, remove, import while serving).
  long long DataVersion();

  const std::string& lastError() const { return lastError_; }

 private:
  sqlite3_stmt* Prepare(const char* sql);
  bool Exec(const char* sql);
  bool AddPending(const std::string& label, int families);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;
  sqlite3_stmt* add_ = nullptr;
  sqlite3_stmt* remove_ = nullptr;
  sqlite3_stmt* all_ = nullptr;
  sqlite3_stmt* byDigest_ = nullptr;
  sqlite3_stmt* count_ = nullptr;
  sqlite3_stmt* record4_ = nullptr;
  sqlite3_stmt* record6_ = nullptr;
  sqlite3_stmt* addPending_ = nullptr;
  sqlite3_stmt* pending_ = nullptr;
  sqlite3_stmt* done_ = nullptr;
  sqlite3_stmt* pendingCount_ = nullptr;
  sqlite3_stmt* dataVersion_ = nullptr;
  std::string lastError_;
};

}  // namespace qserver
