// The server's log on standard output, written by a thread of its own so that no request
// ever waits for it: lines queue up to a bound; while standard output stalls, further lines
// are dropped and counted, and the count is logged when it flows again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace qserver {

class LogSink {
 public:
  explicit LogSink(int fd = 1, std::size_t maxQueued = 8192);
  ~LogSink();  // Close(), then waits for the thread whatever it takes
  // Writes what is queued and ends the thread, waiting at most `limit`: false when standard
  // output does not take it in that time (the thread still holds this object then, so the
  // caller lets it be, as the process is ending).
  bool Close(std::chrono::milliseconds limit);
  void Line(std::string line);
  unsigned long long dropped() const { return droppedTotal_; }

 private:
  void Run();
  int fd_;
  std::size_t maxQueued_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  unsigned long long droppedSince_ = 0;
  std::atomic<unsigned long long> droppedTotal_{0};
  bool stopping_ = false;
  bool finished_ = false;
  std::thread thread_;
};

// The request line as it may safely appear in a terminal: control and non-ASCII bytes as
// \xHH, quotes and backslashes escaped, at most 200 characters.
std::string Printable(std::string_view text);

// The current time, UTC, ISO 8601 to the second.
std::string UtcNow();

}  // namespace qserver
