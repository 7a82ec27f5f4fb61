#include "update/posix_connection.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvel {

namespace {

// The lookup thread only runs getaddrinfo; its stack need not be the default 8 MB.
constexpr size_t kLookupStack = 256 * 1024;

struct LookupJob {
  std::string host;
  int fd;
  int family;
};

int SystemFamily(PosixConnection::Family family) {
  switch (family) {
    case PosixConnection::Family::kIPv4:
      return AF_INET;
    case PosixConnection::Family::kIPv6:
      return AF_INET6;
    case PosixConnection::Family::kAny:
      break;
  }
  return AF_UNSPEC;
}

// Resolves one host name and hands its first address of the job's family to the loop through
// its socket. The loop may have given the lookup up and closed its end: the send then fails
// quietly.
void* RunLookup(void* argument) {
  LookupJob* job = static_cast<LookupJob*>(argument);
  addrinfo hints{};
  hints.ai_family = job->family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(job->host.c_str(), nullptr, &hints, &found) == 0 && found != nullptr &&
      found->ai_addrlen <= sizeof(sockaddr_storage)) {
    sockaddr_storage raw{};
    std::memcpy(&raw, found->ai_addr, found->ai_addrlen);
    (void)send(job->fd, &raw, sizeof raw, MSG_NOSIGNAL);
  }
  if (found != nullptr) freeaddrinfo(found);
  close(job->fd);
  delete job;
  return nullptr;
}

}  // namespace

void PosixConnection::Open(const std::string& host) {
  sockaddr_storage address{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (family_ != Family::kIPv6 && inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    StartConnect(address);
    return;
  }
  if (family_ != Family::kIPv4 && inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    StartConnect(address);
    return;
  }
  StartLookup(host);
}

void PosixConnection::StartLookup(const std::string& host) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    Because(errno);
    PostError();
    return;
  }
  lookup_.reset(pair[0]);
  auto* job = new LookupJob{host, pair[1], SystemFamily(family_)};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, kLookupStack);
  pthread_t thread;
  const bool started = pthread_create(&thread, &attributes, &RunLookup, job) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) {
    close(job->fd);
    delete job;
    lookup_.reset();
    PostError();
    return;
  }
  SetState(kResolving);
}

void PosixConnection::OnLookupDone() {
  sockaddr_storage address{};
  ssize_t got;
  do {
    got = recv(lookup_.get(), &address, sizeof address, MSG_WAITALL);
  } while (got < 0 && errno == EINTR);
  lookup_.reset();
  if (got != static_cast<ssize_t>(sizeof address)) {
    failure_ = family_ == Family::kIPv6 ? "no IPv6 address" : "name not found";
    noAddress_ = true;
    ReportError();
    return;
  }
  StartConnect(address);
}

void PosixConnection::StartConnect(const sockaddr_storage& address) {
  sockaddr_storage remote = address;
  const std::uint16_t port = htons(static_cast<std::uint16_t>(RemotePort()));
  socklen_t length = sizeof(sockaddr_in);
  if (remote.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&remote)->sin6_port = port;
    length = sizeof(sockaddr_in6);
  } else {
    reinterpret_cast<sockaddr_in*>(&remote)->sin_port = port;
  }
  socket_.reset(socket(remote.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!socket_) {
    Because(errno);
    PostError();
    return;
  }
  SetState(kConnecting);
  if (connect(socket_.get(), reinterpret_cast<const sockaddr*>(&remote), length) != 0 &&
      errno != EINPROGRESS) {
    Because(errno);
    PostError();
  }
  // Otherwise the socket becomes writable when the attempt has ended, either way.
}

void PosixConnection::AddPollFds(std::vector<pollfd>& fds) const {
  if (lookup_) fds.push_back({lookup_.get(), POLLIN, 0});
  if (!socket_) return;
  short events = 0;
  if (State() == kConnecting && !Handshaking()) events = POLLOUT;
  if (State() == kConnected || Handshaking()) events = static_cast<short>(POLLIN | (Unsent() ? POLLOUT : 0));
  fds.push_back({socket_.get(), events, 0});
}

void PosixConnection::Dispatch(const std::vector<pollfd>& fds) {
  const std::uint32_t generation = Generation();
  DeliverNotices();
  // The descriptors were polled for this generation; a handler that closed or reconnected
  // may have been given the same numbers for something new.
  if (Generation() != generation) return;
  for (const pollfd& entry : fds) {
    if (entry.revents == 0) continue;
    if (lookup_ && entry.fd == lookup_.get() && State() == kResolving) {
      OnLookupDone();
      return;
    }
    if (socket_ && entry.fd == socket_.get()) {
      OnSocket(entry.revents);
      return;
    }
  }
}

void PosixConnection::OnSocket(short revents) {
  if (State() == kConnecting && !Handshaking()) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    Because(error);
    OnConnectDone(error != 0);
    return;
  }
  if (State() != kConnected && !Handshaking()) return;
  const std::uint32_t generation = Generation();
  if ((revents & POLLOUT) != 0) {
    OnWritable(false);
    if (Generation() != generation || (State() != kConnected && !Handshaking())) return;
  }
  // A hang-up or an error shows in the receive that follows.
  if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) OnReadable(false);
}

PosixConnection::Io PosixConnection::Receive(char* buffer, std::size_t size, std::size_t& count) {
  ssize_t got;
  do {
    got = recv(socket_.get(), buffer, size, 0);
  } while (got < 0 && errno == EINTR);
  return Result(got, count);
}

PosixConnection::Io PosixConnection::Send(const char* bytes, std::size_t size, std::size_t& count) {
  // When the send would block, the loop polls for room and comes back.
  ssize_t put;
  do {
    put = send(socket_.get(), bytes, size, MSG_NOSIGNAL);
  } while (put < 0 && errno == EINTR);
  return Result(put, count);
}

PosixConnection::Io PosixConnection::Result(ssize_t done, std::size_t& count) {
  if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Io::kWouldBlock;
  if (done < 0) {
    Because(errno);
    return Io::kFailed;
  }
  count = static_cast<std::size_t>(done);
  return Io::kDone;
}

void PosixConnection::Because(int error) {
  if (error != 0) failure_ = std::strerror(error);
}

}  // namespace quorvel
