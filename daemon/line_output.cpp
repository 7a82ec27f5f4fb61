#include "daemon/line_output.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace quorvel {

LineOutput::LineOutput(int fd) : fd_(fd) {
  struct stat facts {};
  if (fstat(fd, &facts) != 0) return;
  if (S_ISSOCK(facts.st_mode)) {
    kind_ = Kind::kSocket;  // the journal's stream: MSG_DONTWAIT per call
  } else if (S_ISFIFO(facts.st_mode) || S_ISCHR(facts.st_mode)) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    own_.reset(open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (own_) kind_ = Kind::kOwn;
  }
  // A regular file takes every write at once.
}

void LineOutput::Write(std::string_view line) {
  if (queue_.size() + line.size() + 1 > kQueueCap) {
    ++lost_;
    Flush();
    return;
  }
  queue_.append(line);
  queue_ += '\n';
  Flush();
}

void LineOutput::Flush() {
  while (!queue_.empty()) {
    ssize_t put;
    if (kind_ == Kind::kSocket) {
      put = send(fd_, queue_.data(), queue_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      put = write(PollFd(), queue_.data(), queue_.size());
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (put <= 0) {
      // A closed output loses its lines, not the service.
      queue_.clear();
      return;
    }
    queue_.erase(0, static_cast<std::size_t>(put));
  }
}

std::size_t LineOutput::TakeLost() {
  if (!queue_.empty() || lost_ == 0) return 0;
  const std::size_t lost = lost_;
  lost_ = 0;
  return lost;
}

}  // namespace quorvel
