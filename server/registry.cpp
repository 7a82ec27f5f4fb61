#include "server/registry.hpp"

#include "server/log_sink.hpp"

namespace qserver {

void Registry::Load() {
  std::lock_guard lock(mutex_);
  LoadLocked();
}

void Registry::LoadLocked() {
  changeMark_ = store_.ChangeMark();
  lastCheck_ = Clock::now();
  byDigest_.clear();
  for (NameRow& row : store_.All().value) {
    byDigest_[row.digest] = Entry{std::move(row.label), std::move(row.ipv4), std::move(row.ipv6)};
  }
}

Result<NameStore::Added> Registry::Add(const std::string& label, const std::string& digest) {
  std::lock_guard lock(mutex_);
  Result<NameStore::Added> result = store_.Add(label, digest, UtcNow());
  if (result.ok() && result.value == NameStore::Added::kAdded) byDigest_[digest] = Entry{label, "", ""};
  return result;
}

// The copy follows what other processes write to the store (add, remove, import while the
// server runs): the store's change mark is looked at on every miss, and at most a second late
// on a hit.
Registry::Entry* Registry::Find(const std::string& digest) {
  const auto now = Clock::now();
  if (now - lastCheck_ >= std::chrono::seconds(1)) {
    lastCheck_ = now;
    if (store_.ChangeMark() != changeMark_) LoadLocked();
  }
  auto it = byDigest_.find(digest);
  if (it == byDigest_.end() && store_.ChangeMark() != changeMark_) {
    LoadLocked();
    it = byDigest_.find(digest);
  }
  return it == byDigest_.end() ? nullptr : &it->second;
}

Registry::Updated Registry::Update(const std::string& digest, const std::string& label,
                                   const std::vector<std::pair<Family, std::string>>& addresses) {
  Updated updated;
  {
    std::lock_guard lock(mutex_);
    Entry* entry = Find(digest);
    if (!entry || (!label.empty() && entry->label != label)) return updated;
    updated.label = entry->label;
    const auto now = Clock::now();
    if (!flood_.Allows(entry->label, now)) {
      updated.outcome = Outcome::kDenied;
      return updated;
    }
    updated.outcome = Outcome::kUnchanged;
    const std::string stamp = UtcNow();
    for (const auto& [family, address] : addresses) {
      std::string& known = family == kFamilyV4 ? entry->ipv4 : entry->ipv6;
      if (known == address) continue;
      Result<> recorded = store_.Record(entry->label, family, address, stamp, dns_);
      if (!recorded.ok()) {
        updated.outcome = Outcome::kStoreError;
        updated.error = std::move(recorded.error);
        return updated;
      }
      known = address;
      updated.outcome = Outcome::kChanged;
    }
    // Counted once done: a write the store failed is the server's fault, not a flood.
    flood_.Add(entry->label, now);
  }
  if (updated.outcome == Outcome::kChanged && dns_ && onPending_) onPending_();
  return updated;
}

}  // namespace qserver
