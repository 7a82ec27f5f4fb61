#include "server/registry.hpp"

#include "server/log_sink.hpp"

namespace qserver {

void Registry::Load() {
  std::lock_guard lock(mutex_);
  LoadLocked();
}

void Registry::LoadLocked() {
  dataVersion_ = store_.DataVersion();
  lastCheck_ = Clock::now();
  byDigest_.clear();
  for (NameRow& row : store_.All()) {
    byDigest_[row.digest] = Entry{std::move(row.label), std::move(row.ipv4), std::move(row.ipv6)};
  }
}

Store::AddResult Registry::Add(const std::string& label, const std::string& digest) {
  std::lock_guard lock(mutex_);
  const Store::AddResult result = store_.Add(label, digest, UtcNow());
  if (result == Store::AddResult::kAdded) byDigest_[digest] = Entry{label, "", ""};
  return result;
}

// The copy follows what other processes write to the store (add, remove, import while the
// server runs): checked on every miss, and at most a second late on a hit.
Registry::Entry* Registry::Find(const std::string& digest) {
  const auto now = Clock::now();
  if (now - lastCheck_ >= std::chrono::seconds(1)) {
    lastCheck_ = now;
    if (store_.DataVersion() != dataVersion_) LoadLocked();
  }
  auto it = byDigest_.find(digest);
  if (it == byDigest_.end() && store_.DataVersion() != dataVersion_) {
    LoadLocked();
    it = byDigest_.find(digest);
  }
  return it == byDigest_.end() ? nullptr : &it->second;
}

Registry::Outcome Registry::Update(const std::string& digest, const std::string& label,
                                   const std::vector<std::pair<Family, std::string>>& addresses,
                                   std::string& labelOut) {
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    Entry* entry = Find(digest);
    if (!entry || (!label.empty() && entry->label != label)) return Outcome::kNotFound;
    labelOut = entry->label;
    const auto now = Clock::now();
    if (floodLimit_ > 0) {
      if (now - lastPrune_ >= std::chrono::minutes(1)) {
        lastPrune_ = now;
        for (auto it = recent_.begin(); it != recent_.end();)
          it = now - it->second.back() >= std::chrono::minutes(1) ? recent_.erase(it) : std::next(it);
      }
      auto& times = recent_[entry->label];
      while (!times.empty() && now - times.front() >= std::chrono::minutes(1)) times.pop_front();
      if (times.size() >= floodLimit_) return Outcome::kDenied;
      times.push_back(now);
    }
    const std::string stamp = UtcNow();
    for (const auto& [family, address] : addresses) {
      std::string& known = family == kFamilyV4 ? entry->ipv4 : entry->ipv6;
      if (known == address) continue;
      if (!store_.Record(entry->label, family, address, stamp, dns_)) return Outcome::kStoreError;
      known = address;
      changed = true;
    }
  }
  if (changed && dns_ && onPending_) onPending_();
  return changed ? Outcome::kChanged : Outcome::kUnchanged;
}

}  // namespace qserver
