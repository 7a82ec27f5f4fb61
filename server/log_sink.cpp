#include "server/log_sink.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace qserver {

LogSink::LogSink(int fd, std::size_t maxQueuedBytes)
    : fd_(fd), queue_(maxQueuedBytes), thread_([this] { Run(); }) {}

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
    if (!queue_.Push(line)) return;
  }
  wake_.notify_one();
}

unsigned long long LogSink::dropped() const {
  std::lock_guard lock(mutex_);
  return queue_.LostTotal();
}

void LogSink::Write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // nowhere to write: the lines are lost, the server goes on
    done += static_cast<std::size_t>(n);
  }
}

void LogSink::Run() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.Empty(); });
    if (queue_.Empty()) {  // stopping, all written
      finished_ = true;
      wake_.notify_all();
      return;
    }
    const std::string batch = queue_.TakeAll();
    lock.unlock();
    Write(batch);
    lock.lock();
    if (const std::size_t lost = queue_.TakeLost()) {
      lock.unlock();
      Write(UtcNow() + " log: " + std::to_string(lost) +
            " line(s) dropped while standard output was not taking them\n");
      lock.lock();
    }
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
