#include "server/log_sink.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace qserver {

LogSink::LogSink(int fd, std::size_t maxQueued)
    : fd_(fd), maxQueued_(maxQueued), thread_([this] { Run(); }) {}

LogSink::~LogSink() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool LogSink::Close(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  wake_.notify_all();
  if (!wake_.wait_for(lock, limit, [this] { return finished_; })) return false;
  lock.unlock();
  thread_.join();
  return true;
}

void LogSink::Line(std::string line) {
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= maxQueued_) {
      ++droppedSince_;
      ++droppedTotal_;
      return;
    }
    line += '\n';
    queue_.push_back(std::move(line));
  }
  wake_.notify_one();
}

void LogSink::Run() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) {  // stopping, all written
      finished_ = true;
      wake_.notify_all();
      return;
    }
    std::string batch;
    while (!queue_.empty() && batch.size() < 65536) {
      batch += queue_.front();
      queue_.pop_front();
    }
    unsigned long long dropped = droppedSince_;
    droppedSince_ = 0;
    lock.unlock();
    if (dropped) {
      batch.insert(0, UtcNow() + " log: " + std::to_string(dropped) +
                          " line(s) dropped while standard output was not taking them\n");
    }
    std::size_t done = 0;
    while (done < batch.size()) {
      ssize_t n = ::write(fd_, batch.data() + done, batch.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // nowhere to write: the lines are lost, the server goes on
      done += static_cast<std::size_t>(n);
    }
    lock.lock();
  }
}

std::string Printable(std::string_view line) {
  constexpr std::size_t kMaxShown = 200;
  std::string out;
  for (std::size_t i = 0; i < line.size() && i < kMaxShown; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (line.size() > kMaxShown) out += "...";
  return out;
}

std::string UtcNow() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace qserver
