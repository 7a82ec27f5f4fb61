// The names as the requests see them: an in-memory copy of the store keyed by identifier
// digest, so that an update from an unchanged address touches neither the store nor DNS;
// the flood rule; and the writes (store first, then the DNS work) when an address changes.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "server/name_store.hpp"
#include "server/sliding_window.hpp"

namespace qserver {

class Registry {
 public:
  using Clock = std::chrono::steady_clock;
  // dns: whether changes leave DNS work; onPending is called after each change that did.
  Registry(NameStore& store, bool dns, std::size_t floodLimit, std::function<void()> onPending)
      : store_(store), dns_(dns), flood_(floodLimit), onPending_(std::move(onPending)) {}

  void Load();
  // Follows what other processes changed in the store (also done at each request).
  void Refresh();
  // Where the names that another process added, removed or re-keyed are told (the log).
  void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }
  // A new name, in the store and at once in the copy.
  Result<NameStore::Added> Add(const std::string& label, const std::string& digest);

  enum class Outcome { kChanged, kUnchanged, kNotFound, kDenied, kStoreError };
  struct Updated {
    Outcome outcome = Outcome::kNotFound;
    std::string label;  // the name found
    std::string error;  // kStoreError: the store's
  };
  // Records addresses (family, text) for the identifier whose digest is given. label, when
  // not empty, must be the identifier's name (dyndns2); otherwise kNotFound. More than
  // floodLimit accepted updates of one name within a minute: kDenied.
  Updated Update(const std::string& digest, const std::string& label,
                 const std::vector<std::pair<Family, std::string>>& addresses);

 private:
  struct Entry {
    std::string label;
    std::string ipv4, ipv6;
  };
  Entry* Find(const std::string& digest);
  bool LoadLocked();
  // What others changed, when the store's change mark has moved: each name's change applied,
  // or the whole store read again.
  void CatchUpLocked();

  NameStore& store_;
  bool dns_;
  SlidingWindow flood_;  // by label
  std::function<void()> onPending_;
  std::function<void(const std::string&)> log_;
  std::array<std::mutex, 64> names_;  // by the digest's hash: one name's updates in turn
  std::mutex mutex_;                    // the copy and the flood rule; taken after names_
  std::unordered_map<std::string, Entry> byDigest_;
  long long changeMark_ = -1;
  bool loaded_ = false;
  bool reloadDue_ = false;  // a reload the store asked for and that has not succeeded yet
  // Moves each time the copy takes addresses from the store (a reload, another server's or its
  // own recorded address): a change that sees it moved while it wrote the store no longer knows
  // what the copy should hold.
  unsigned long long storeWrites_ = 0;
};

}  // namespace qserver
