// Carries out the DNS work kept in the store, on a thread of its own: at once when a change
// comes, several names in one UPDATE message of at most 32 KiB (smaller while the primary
// cannot read them), again every 2 seconds while the primary fails, and whatever a previous
// run or another process (remove, import) left. Nothing is taken off the store before the
// primary has accepted it, except a name it refuses alone: that one is set aside, logged and
// counted, until its next change.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "server/dns_update.hpp"
#include "server/log_sink.hpp"
#include "server/metrics.hpp"
#include "server/name_store.hpp"

namespace qserver {

class Pusher {
 public:
  Pusher(NameStore& store, DnsUpdater& updater, LogSink& log, Metrics& metrics, std::atomic<bool>& stop)
      : store_(store), updater_(updater), log_(log), metrics_(metrics), stop_(stop) {}
  ~Pusher() { Stop(); }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Wake();
  void Stop();  // the stop flag must be set first

  static constexpr int kBatch = 500;

 private:
  void Run();
  // The rows read, in as many messages as they need. False when the primary failed.
  bool Push(std::vector<PendingRow> rows);
  NameStore& store_;
  DnsUpdater& updater_;
  LogSink& log_;
  Metrics& metrics_;
  std::atomic<bool>& stop_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
  std::thread thread_;
  std::size_t budget_ = DnsUpdater::kMaxMessage;
  // The outage under way: its failed pushes (logged once, then when the primary is back).
  unsigned long long failures_ = 0;
  std::chrono::steady_clock::time_point failingSince_;
};

}  // namespace qserver
