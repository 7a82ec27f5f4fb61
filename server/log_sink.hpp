// The server's log on standard output, written by a thread of its own so that no request
// ever waits for it, by the rule of common/line_queue.hpp: while standard output stalls,
// further lines are dropped and counted, and the count is logged when it flows again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "common/line_queue.hpp"

namespace qserver {

class LogSink {
 public:
  explicit LogSink(int fd = 1, std::size_t maxQueuedBytes = 512 * 1024);
  ~LogSink();  // Close(), then waits for the thread whatever it takes
  // Writes what is queued and ends the thread, waiting at most `limit`: false when standard
  // output does not take it in that time (the thread still holds this object then, so the
  // caller lets it be, as the process is ending).
  bool Close(std::chrono::milliseconds limit);
  void Line(std::string line);
  unsigned long long dropped() const;

 private:
  void Run();
  void Write(const std::string& bytes);
  int fd_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  quorvel::LineQueue queue_;
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
