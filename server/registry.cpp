#include "server/registry.hpp"

#include <algorithm>

#include "server/log_sink.hpp"

namespace qserver {

void Registry::Load() {
  std::lock_guard lock(mutex_);
  LoadLocked();
}

namespace {

// "added a, b and 3 more": the labels of one kind of change, a few of them by name.
std::string Labels(const std::vector<std::string>& labels) {
  std::string text;
  for (std::size_t i = 0; i < labels.size() && i < 5; ++i) text += (i ? ", " : "") + labels[i];
  if (labels.size() > 5) text += " and " + std::to_string(labels.size() - 5) + " more";
  return text;
}

}  // namespace

bool Registry::LoadLocked() {
  const long long mark = store_.ChangeMark();
  const Result<std::vector<NameRow>> all = store_.All();
  if (!all.ok()) return false;  // the copy kept; the next request tries again
  changeMark_ = mark;
  ++storeWrites_;
  std::unordered_map<std::string, std::string> before;  // label -> digest
  for (const auto& [digest, entry] : byDigest_) before[entry.label] = digest;
  std::vector<std::string> added, rekeyed, removed;
  std::unordered_map<std::string, Entry> next;
  for (const NameRow& row : all.value) {
    next[row.digest] = Entry{row.label, row.ipv4, row.ipv6};
    const auto known = before.find(row.label);
    if (known == before.end())
      added.push_back(row.label);
    else if (known->second != row.digest)
      rekeyed.push_back(row.label);
    if (known != before.end()) before.erase(known);
  }
  for (const auto& [label, digest] : before) removed.push_back(label);
  const bool first = !loaded_;
  byDigest_ = std::move(next);
  loaded_ = true;
  reloadDue_ = false;
  if (first || !log_) return true;
  std::sort(removed.begin(), removed.end());
  if (!added.empty()) log_(UtcNow() + " store: added " + Labels(added) + " (by a command beside the server)");
  if (!removed.empty()) log_(UtcNow() + " store: removed " + Labels(removed));
  if (!rekeyed.empty()) log_(UtcNow() + " store: new identifier for " + Labels(rekeyed) + ", the old refused");
  return true;
}

void Registry::CatchUpLocked() {
  const long long mark = store_.ChangeMark();
  if (mark == changeMark_ && !reloadDue_) return;
  std::vector<std::string> added, rekeyed, removed;
  for (const StoreChange& change : store_.TakeChanges()) {
    if (change.kind == StoreChange::Kind::kReload) reloadDue_ = true;
    if (reloadDue_) continue;  // the reload reads them all
    switch (change.kind) {
      case StoreChange::Kind::kAdded:
        byDigest_[change.digest] = Entry{change.label, "", ""};
        added.push_back(change.label);
        break;
      case StoreChange::Kind::kRemoved:
        if (byDigest_.erase(change.digest)) removed.push_back(change.label);
        break;
      case StoreChange::Kind::kRekeyed: {
        auto node = byDigest_.extract(change.oldDigest);
        if (node.empty() || node.mapped().label != change.label) {
          reloadDue_ = true;  // a copy that did not know the name as it was: read it whole
          break;
        }
        node.key() = change.digest;
        byDigest_.insert(std::move(node));
        rekeyed.push_back(change.label);
        break;
      }
      case StoreChange::Kind::kRecorded: {
        // Another server's address: a client back at this server's last known one must be
        // recorded, not told it is unchanged.
        const auto it = byDigest_.find(change.digest);
        if (it != byDigest_.end() && it->second.label == change.label) {
          (change.family == kFamilyV4 ? it->second.ipv4 : it->second.ipv6) = change.address;
          ++storeWrites_;
        }
        break;
      }
      case StoreChange::Kind::kReload:
        break;
    }
  }
  if (log_) {
    if (!added.empty()) log_(UtcNow() + " store: added " + Labels(added) + " (by another server or command)");
    if (!removed.empty()) log_(UtcNow() + " store: removed " + Labels(removed));
    if (!rekeyed.empty()) log_(UtcNow() + " store: new identifier for " + Labels(rekeyed) + ", the old refused");
  }
  // A reload that fails (the store away) is tried again at the next request or second.
  if (reloadDue_ && !LoadLocked()) return;
  changeMark_ = mark;
}

void Registry::Refresh() {
  std::lock_guard lock(mutex_);
  CatchUpLocked();
}

Result<NameStore::Added> Registry::Add(const std::string& label, const std::string& digest) {
  Result<NameStore::Added> result = store_.Add(label, digest, UtcNow());
  std::lock_guard lock(mutex_);
  if (result.ok() && result.value == NameStore::Added::kAdded) byDigest_[digest] = Entry{label, "", ""};
  return result;
}

// The copy follows what other processes write to the store (add, remove, rekey, import while
// the server runs, other servers on a PostgreSQL store): the store's change mark (SQLite: two
// stats, a query only when they moved; PostgreSQL: a counter its listener moves) is looked at
// on every request, so that a removed or re-keyed identifier is refused from the
// moment the command has returned.
Registry::Entry* Registry::Find(const std::string& digest) {
  CatchUpLocked();
  auto it = byDigest_.find(digest);
  return it == byDigest_.end() ? nullptr : &it->second;
}

Registry::Updated Registry::Update(const std::string& digest, const std::string& label,
                                   const std::vector<std::pair<Family, std::string>>& addresses) {
  Updated updated;
  // One name's updates one at a time, from the look at its copy to the copy's change; the
  // copy itself is not held while a change waits for the store (on a shared store, for the
  // push of that name by a pusher), so the other names' requests go on meanwhile.
  std::lock_guard nameLock(names_[std::hash<std::string>{}(digest) % names_.size()]);
  const auto now = Clock::now();
  std::vector<std::pair<Family, std::string>> changes;
  unsigned long long seen = 0;
  {
    std::lock_guard lock(mutex_);
    Entry* entry = Find(digest);
    if (!entry || (!label.empty() && entry->label != label)) return updated;
    updated.label = entry->label;
    if (!flood_.Allows(entry->label, now)) {
      updated.outcome = Outcome::kDenied;
      return updated;
    }
    updated.outcome = Outcome::kUnchanged;
    for (const auto& [family, address] : addresses)
      if ((family == kFamilyV4 ? entry->ipv4 : entry->ipv6) != address) changes.emplace_back(family, address);
    if (changes.empty()) {
      flood_.Add(entry->label, now);
      return updated;
    }
    seen = storeWrites_;
  }
  const std::string stamp = UtcNow();
  std::size_t recorded = 0;
  for (; recorded < changes.size(); ++recorded) {
    Result<> written = store_.Record(updated.label, changes[recorded].first, changes[recorded].second, stamp, dns_);
    if (!written.ok()) {
      updated.outcome = Outcome::kStoreError;
      updated.error = std::move(written.error);
      break;
    }
  }
  {
    std::lock_guard lock(mutex_);
    const auto it = byDigest_.find(digest);
    // Addresses taken from the store meanwhile may be newer than this one (another server's,
    // committed after it): the copy then forgets the address rather than keep a stale one, and
    // the name's next update is recorded whatever it brings (its own echo restores it).
    const bool current = storeWrites_ == seen;
    for (std::size_t i = 0; i < recorded && it != byDigest_.end() && it->second.label == updated.label; ++i)
      (changes[i].first == kFamilyV4 ? it->second.ipv4 : it->second.ipv6) = current ? changes[i].second : "";
    if (updated.outcome == Outcome::kStoreError) return updated;
    // Counted once done: a write the store failed is the server's fault, not a flood.
    flood_.Add(updated.label, now);
  }
  updated.outcome = Outcome::kChanged;
  if (dns_ && onPending_) onPending_();
  return updated;
}

}  // namespace qserver
