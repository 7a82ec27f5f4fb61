#include "daemon/posix_connection.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "common/text.hpp"

namespace quorvel {

namespace {

// Bytes taken by one recv.
constexpr size_t kReadChunk = 16 * 1024;
// The lookup thread only runs getaddrinfo; its stack need not be the default 8 MB.
constexpr size_t kLookupStack = 256 * 1024;

struct LookupJob {
  std::string host;
  int fd;
};

// Resolves one host name and hands the first IPv4 address to the loop through its socket.
// The loop may have given the lookup up and closed its end: the send then fails quietly.
void* RunLookup(void* argument) {
  LookupJob* job = static_cast<LookupJob*>(argument);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(job->host.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const std::uint32_t raw = address->sin_addr.s_addr;
    (void)send(job->fd, &raw, sizeof raw, MSG_NOSIGNAL);
  }
  if (found != nullptr) freeaddrinfo(found);
  close(job->fd);
  delete job;
  return nullptr;
}

}  // namespace

void PosixConnection::Close() {
  ++generation_;
  sendCompletePending_ = false;
  socket_.reset();
  lookup_.reset();  // a lookup under way finishes on its own and is ignored
  state_ = kClosed;
  outgoing_.clear();
  sent_ = 0;
  received_.clear();
}

void PosixConnection::Connect() {
  Close();
  failure_.clear();
  if (port_ < 1 || port_ > 65535) {
    PostError(EINVAL);
    return;
  }
  const std::string host = ToAnsi(host_);
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
    StartConnect(address.s_addr);
    return;
  }
  if (host.empty() || host.find('\0') != std::string::npos) {
    PostError(EINVAL);
    return;
  }
  StartLookup(host);
}

void PosixConnection::StartLookup(const std::string& host) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    PostError(errno);
    return;
  }
  lookup_.reset(pair[0]);
  auto* job = new LookupJob{host, pair[1]};
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
    PostError(EAGAIN);
    return;
  }
  state_ = kResolving;
}

void PosixConnection::OnLookupDone() {
  std::uint32_t address = 0;
  ssize_t got;
  do {
    got = recv(lookup_.get(), &address, sizeof address, MSG_WAITALL);
  } while (got < 0 && errno == EINTR);
  lookup_.reset();
  if (got != static_cast<ssize_t>(sizeof address)) {
    failure_ = "name not found";
    ReportError(0);
    return;
  }
  StartConnect(address);
}

void PosixConnection::StartConnect(std::uint32_t address) {
  socket_.reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!socket_) {
    PostError(errno);
    return;
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<std::uint16_t>(port_));
  remote.sin_addr.s_addr = address;
  state_ = kConnecting;
  if (connect(socket_.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0 &&
      errno != EINPROGRESS) {
    PostError(errno);
  }
  // Otherwise the socket becomes writable when the attempt has ended, either way.
}

void PosixConnection::AddPollFds(std::vector<pollfd>& fds) const {
  if (lookup_) fds.push_back({lookup_.get(), POLLIN, 0});
  if (!socket_) return;
  short events = 0;
  if (state_ == kConnecting) events = POLLOUT;
  if (state_ == kConnected) events = static_cast<short>(POLLIN | (sent_ < outgoing_.size() ? POLLOUT : 0));
  fds.push_back({socket_.get(), events, 0});
}

void PosixConnection::Dispatch(const std::vector<pollfd>& fds) {
  const std::uint32_t generation = generation_;
  DeliverNotices();
  // The descriptors were polled for this generation; a handler that closed or reconnected
  // may have been given the same numbers for something new.
  if (!Current(generation)) return;
  for (const pollfd& entry : fds) {
    if (entry.revents == 0) continue;
    if (lookup_ && entry.fd == lookup_.get() && state_ == kResolving) {
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
  if (state_ == kConnecting) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) {
      ReportError(error);
      return;
    }
    state_ = kConnected;
    if (events_ != nullptr) events_->Winsock1_Connect();
    return;
  }
  if (state_ != kConnected) return;
  const std::uint32_t generation = generation_;
  if ((revents & POLLOUT) != 0) {
    SendPending();
    if (!Current(generation) || !socket_) return;
  }
  if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
  if (sendCompletePending_) {
    // The request was sent before any reply could come: that is said first.
    DeliverSendComplete();
    if (!Current(generation) || !socket_) return;
  }
  (void)ReadOnce();
}

bool PosixConnection::ReadOnce() {
  char buffer[kReadChunk];
  ssize_t count;
  do {
    count = recv(socket_.get(), buffer, sizeof buffer, 0);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    ReportError(errno);  // reset or broken: the reply is not complete
    return false;
  }
  if (count == 0) {
    // The peer has finished, and every byte it sent was read by the events before.
    ++generation_;
    socket_.reset();
    state_ = kClosed;
    outgoing_.clear();
    sent_ = 0;
    if (events_ != nullptr) events_->Winsock1_Close();
    return false;
  }
  received_.append(buffer, static_cast<size_t>(count));
  const std::uint32_t generation = generation_;
  if (events_ != nullptr) {
    const auto waiting = static_cast<std::int32_t>(std::min<size_t>(received_.size(), INT32_MAX));
    events_->Winsock1_DataArrival(waiting);
  }
  return Current(generation) && socket_;
}

void PosixConnection::SendData(const std::wstring& text) {
  if (state_ != kConnected || !socket_) return;
  outgoing_ += ToAnsi(text);
  SendPending();
}

void PosixConnection::SendPending() {
  while (sent_ < outgoing_.size()) {
    const ssize_t count =
        send(socket_.get(), outgoing_.data() + sent_, outgoing_.size() - sent_, MSG_NOSIGNAL);
    if (count < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) PostError(errno);
      return;  // the loop polls for room and comes back
    }
    sent_ += static_cast<size_t>(count);
  }
  if (outgoing_.empty()) return;
  outgoing_.clear();
  sent_ = 0;
  sendCompletePending_ = true;
  notices_.push_back({Notice::kSent, generation_});
}

void PosixConnection::DeliverSendComplete() {
  sendCompletePending_ = false;
  if (state_ == kConnected && events_ != nullptr) events_->Winsock1_SendComplete();
}

void PosixConnection::GetData(std::wstring& data) {
  data = FromAnsi(received_);
  received_.clear();
}

void PosixConnection::Fail() {
  sendCompletePending_ = false;
  socket_.reset();
  lookup_.reset();
  state_ = kError;
  outgoing_.clear();
  sent_ = 0;
}

void PosixConnection::ReportError(int error) {
  if (error != 0) failure_ = std::strerror(error);
  ++generation_;
  Fail();
  if (events_ != nullptr) events_->Winsock1_Error();
}

void PosixConnection::PostError(int error) {
  failure_ = std::strerror(error);
  Fail();
  notices_.push_back({Notice::kError, generation_});
}

void PosixConnection::DeliverNotices() {
  std::vector<Due> due;
  due.swap(notices_);
  for (const Due& notice : due) {
    if (!Current(notice.generation)) continue;
    if (notice.kind == Notice::kSent) {
      if (sendCompletePending_) DeliverSendComplete();
    } else {
      ++generation_;
      if (events_ != nullptr) events_->Winsock1_Error();
    }
  }
}

}  // namespace quorvel
