// The reference server's identifiers: a small text file, one identifier a line with the
// address its updates come from and when that address was recorded, rewritten whole and
// atomically on every change. One server at a time holds it, through a lock file beside it.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace refserver {

// Identifiers are 1 to 32 characters among A-Z, a-z, 0-9, '-' and '_': nothing that needs
// escaping in an address, an HTML page or a line of the store.
inline constexpr std::size_t kMaxIdentifierLength = 32;
bool IsSafeIdentifier(std::string_view id);

struct LastUpdate {
  std::string address;  // where the last "found" update came from; empty before the first
  std::string time;     // when that address was recorded, UTC, ISO 8601
};

class IdStore {
 public:
  explicit IdStore(std::string path) : path_(std::move(path)) {}
  ~IdStore();
  IdStore(const IdStore&) = delete;
  IdStore& operator=(const IdStore&) = delete;

  // Takes the lock file "<store>.lock" for as long as this object lives, so that a second
  // server cannot overwrite this one's identifiers with its own. False when it cannot: errno
  // is EWOULDBLOCK when another process holds it.
  bool Lock();

  // Reads the file; a missing file is an empty store. False when it exists but cannot be
  // read. Lines that do not start with a safe identifier are skipped.
  bool Load();

  bool Contains(const std::string& id) const { return entries_.count(id) != 0; }
  std::size_t size() const { return entries_.size(); }
  const std::string& path() const { return path_; }

  // Each change is saved before it counts: false (and the store unchanged) when the file
  // cannot be written.
  bool Add(const std::string& id);
  // Writes only when the address differs from the one recorded: an update from the same
  // address changes nothing in the file, so a large store is not rewritten on each one.
  bool RecordUpdate(const std::string& id, const std::string& address, const std::string& time);

  // A new random identifier (10 characters, no look-alikes such as l/1 or o/0), added and
  // saved; empty when it could not be saved.
  std::string CreateIdentifier();

 private:
  bool Save(const std::map<std::string, LastUpdate>& entries) const;

  std::string path_;
  int lockFd_ = -1;
  std::map<std::string, LastUpdate> entries_;
};

}  // namespace refserver
