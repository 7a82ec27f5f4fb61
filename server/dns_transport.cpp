// DNS over TCP to the zone's primary: the length prefix, the connection kept between messages
// and made again when the primary has closed it, every wait bounded and stoppable.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "server/dns_update.hpp"

namespace qserver {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kIoTime = std::chrono::seconds(3);

// Waits until fd is ready for events, or the deadline, or the stop flag (checked every
// tenth of a second so that the server ends promptly).
bool WaitFor(int fd, short events, Clock::time_point deadline, const std::atomic<bool>* stop) {
  while (true) {
    if (stop && *stop) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

}  // namespace

bool FrameForTcp(const std::vector<unsigned char>& message, std::string& framed, std::string& error) {
  if (message.size() > 0xffff) {
    error =
        "the update is " + std::to_string(message.size()) + " bytes, more than DNS over TCP carries (65535)";
    return false;
  }
  framed.assign(1, static_cast<char>(message.size() >> 8));
  framed += static_cast<char>(message.size() & 0xff);
  framed.append(message.begin(), message.end());
  return true;
}

bool DnsUpdater::Connect(std::string& error) {
  sockaddr_storage address;
  const socklen_t length = server_.ToSockaddr(address);
  quorvel::UniqueFd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 && errno != EINPROGRESS) {
    error = "cannot connect to " + server_.Text() + ": " + std::strerror(errno);
    return false;
  }
  if (!WaitFor(fd.get(), POLLOUT, Clock::now() + kIoTime, stop_)) {
    error = "no connection to " + server_.Text() + " (timed out)";
    return false;
  }
  int soError = 0;
  socklen_t size = sizeof soError;
  ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &size);
  if (soError) {
    error = "cannot connect to " + server_.Text() + ": " + std::strerror(soError);
    return false;
  }
  fd_ = std::move(fd);
  return true;
}

bool DnsUpdater::Exchange(const std::vector<unsigned char>& query, std::vector<unsigned char>& answer,
                          std::string& error) {
  // A connection kept from before may have been closed by the primary meanwhile: one more
  // try on a new one.
  std::string out;
  if (!FrameForTcp(query, out, error)) return false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool reused = static_cast<bool>(fd_);
    if (!fd_ && !Connect(error)) return false;
    const auto deadline = Clock::now() + kIoTime;
    std::size_t sent = 0;
    bool ok = true;
    while (ok && sent < out.size()) {
      ssize_t n = ::send(fd_.get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n > 0)
        sent += static_cast<std::size_t>(n);
      else if (n < 0 && (errno == EAGAIN || errno == EINTR))
        ok = WaitFor(fd_.get(), POLLOUT, deadline, stop_);
      else
        ok = false;
    }
    std::string in;
    std::size_t want = 2;
    while (ok && in.size() < want) {
      char buffer[4096];
      ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
      if (n > 0) {
        in.append(buffer, static_cast<std::size_t>(n));
        if (in.size() >= 2)
          want = 2 + ((static_cast<unsigned char>(in[0]) << 8) | static_cast<unsigned char>(in[1]));
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        ok = WaitFor(fd_.get(), POLLIN, deadline, stop_);
      } else {
        ok = false;
      }
    }
    if (ok) {
      answer.assign(in.begin() + 2, in.begin() + static_cast<std::ptrdiff_t>(want));
      return true;
    }
    fd_.reset();
    error = "no answer from " + server_.Text();
    if (!reused || (stop_ && *stop_)) return false;
  }
  return false;
}

}  // namespace qserver
