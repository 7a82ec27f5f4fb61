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
  (void)queue_.Push(line);
  Flush();
}

void LineOutput::Flush() {
  while (!queue_.Empty()) {
    const std::string_view bytes = queue_.Bytes();
    ssize_t put;
    if (kind_ == Kind::kSocket) {
      put = send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      put = write(PollFd(), bytes.data(), bytes.size());
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (put <= 0) {
      // A closed output loses its lines, not the service.
      queue_.Clear();
      return;
    }
    queue_.Consume(static_cast<std::size_t>(put));
  }
}

}  // namespace quorvel
