#include "server/pusher.hpp"

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

bool PushOnce(NameStore& store, DnsUpdater& updater, const std::vector<PendingRow>& rows, LogSink* log,
              Metrics* metrics) {
  std::string error;
  if (!updater.Send(rows, error)) {
    if (metrics) ++metrics->pushesFailed;
    if (log) {
      log->Line(UtcNow() + " dns: push failed, " + std::to_string(rows.size()) +
                " name(s) kept as pending (" + error + ")");
    }
    return false;
  }
  store.Done(rows);
  if (metrics) {
    ++metrics->pushesDone;
    metrics->changesPushed += rows.size();
  }
  if (log) log->Line(UtcNow() + " dns: pushed" + Describe(rows));
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
    bool failed = !rows.empty() && !PushOnce(store_, updater_, rows, &log_, &metrics_);
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
