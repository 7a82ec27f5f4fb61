#include "server/pusher.hpp"

#include <algorithm>

namespace qserver {

namespace {

std::string Describe(const std::vector<PendingRow>& rows) {
  std::string text;
  std::size_t shown = 0;
  for (const PendingRow& row : rows) {
    if (shown++ == 4) {
      text += " and " + std::to_string(rows.size() - 4) + " more";
      break;
    }
    if (!text.empty()) text += ",";
    text += " " + row.label;
    if (!row.exists) {
      text += " removed";
      continue;
    }
    if (row.families & kFamilyV4) text += " A " + (row.ipv4.empty() ? "-" : row.ipv4);
    if (row.families & kFamilyV6) text += " AAAA " + (row.ipv6.empty() ? "-" : row.ipv6);
  }
  return text;
}

}  // namespace

bool Pusher::Push(std::vector<PendingRow> rows) {
  while (!rows.empty() && !stop_) {
    std::size_t taken = 0;
    std::string error;
    switch (updater_.SendFitting(rows, budget_, taken, error)) {
      case DnsUpdater::Outcome::kDone: {
        const std::vector<PendingRow> sent(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(taken));
        store_.Done(sent);
        rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(taken));
        ++metrics_.pushesDone;
        metrics_.changesPushed += taken;
        if (failures_ > 0) {
          const auto seconds =
              std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - failingSince_);
          log_.Line(UtcNow() + " dns: the primary takes updates again, after " + std::to_string(failures_) +
                    " failed push(es) in " + std::to_string(seconds.count()) + " s");
          failures_ = 0;
        }
        log_.Line(UtcNow() + " dns: pushed" + Describe(sent));
        budget_ = std::min(std::max(budget_ * 2, std::size_t{1024}), DnsUpdater::kMaxMessage);
        break;
      }
      case DnsUpdater::Outcome::kTooLarge:
        // Fewer names a message until the primary reads them, down to one.
        ++metrics_.pushesFailed;
        budget_ = std::min(budget_, DnsUpdater::kMaxMessage) / 2;
        if (budget_ >= updater_.LastSize()) budget_ = updater_.LastSize() / 2;  // a small message: its half
        log_.Line(UtcNow() + " dns: " + std::to_string(taken) + " name(s) in one message refused (" + error +
                  "); sent again in messages of at most " + std::to_string(budget_) + " bytes");
        break;
      case DnsUpdater::Outcome::kBadRow:
        // Retrying it would hold back every name behind it, for good.
        store_.SetAside(rows.front());
        ++metrics_.setAside;
        log_.Line(UtcNow() + " dns: " + rows.front().label + " set aside, its records are not published (" +
                  error + "); its next change tries again");
        rows.erase(rows.begin());
        break;
      case DnsUpdater::Outcome::kFailed:
        ++metrics_.pushesFailed;
        if (failures_++ == 0) {
          failingSince_ = std::chrono::steady_clock::now();
          log_.Line(UtcNow() + " dns: push failed, " + std::to_string(rows.size()) +
                    " name(s) kept as pending (" + error + "); retried every 2 s, logged again once it is done");
        }
        return false;
    }
  }
  return true;
}

void Pusher::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_one();
}

void Pusher::Stop() {
  Wake();
  if (thread_.joinable()) thread_.join();
}

void Pusher::Run() {
  while (!stop_) {
    auto rows = store_.Pending(kBatch).value;
    bool failed = !rows.empty() && !Push(rows);
    // The batch given back at once, also after a failure: on a shared store nothing stays
    // held while this one waits to retry, and another server's pusher may take it.
    store_.Release();
    if (!rows.empty() && !failed && rows.size() == static_cast<std::size_t>(kBatch)) continue;
    std::unique_lock lock(mutex_);
    // After a failure only the stop wakes it early: a retry every 2 seconds. Otherwise a
    // change wakes it, and every 2 seconds it looks for work that another process (remove,
    // import) left in the store.
    wake_.wait_for(lock, std::chrono::seconds(2), [&] { return stop_ || (woken_ && !failed); });
    woken_ = false;
  }
}

}  // namespace qserver
