// The connections' accounting: the limits per peer and in all, checked when a connection is
// accepted, and the reaper that shuts a connection past its request deadline.
#include <sys/socket.h>

#include <chrono>
#include <memory>

#include "server/http_server.hpp"

namespace qserver {

using Clock = std::chrono::steady_clock;

// What one connection keeps while it is open.
struct HttpServer::ConnectionState {
  std::string peerKey;
  Clock::time_point openedAt;
  int fd = -1;
  bool answered = false;  // under peersMutex_; past it, the deadline no longer applies
  bool cut = false;
};

// The read timeout counts silence only: a client sending a byte every few seconds would hold
// its place for ever. A request's head and body get the same time in all; past it the
// connection is shut down (libmicrohttpd then sees it end and closes it).
void HttpServer::Reap() {
  const auto deadline = std::chrono::seconds(site_.options.readTimeout);
  std::unique_lock lock(peersMutex_);
  while (!stopReaper_) {
    reaperWake_.wait_for(lock, std::chrono::milliseconds(250));
    const auto now = Clock::now();
    for (ConnectionState* state : open_) {
      if (state->answered || state->cut || now - state->openedAt < deadline) continue;
      state->cut = true;
      ::shutdown(state->fd, SHUT_RDWR);
    }
  }
}

// One limit per peer and one for the whole server, over every listening socket.
bool HttpServer::AdmitPeer(const sockaddr* address) {
  std::lock_guard lock(peersMutex_);
  if (open_.size() >= static_cast<std::size_t>(site_.options.maxConnections)) return false;
  auto it = peers_.find(PeerKey(AddressText(address), kLimitsIpv6Prefix));
  return it == peers_.end() || it->second < site_.options.maxPerPeer;
}

void HttpServer::OnConnection(MHD_Connection* connection, void** socketContext,
                              MHD_ConnectionNotificationCode code) {
  std::lock_guard lock(peersMutex_);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const sockaddr* peer = PeerOf(connection);
    const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    auto* state = new ConnectionState{peer ? PeerKey(AddressText(peer), kLimitsIpv6Prefix) : "?", Clock::now(),
                                      fd ? fd->connect_fd : -1};
    ++peers_[state->peerKey];
    open_.insert(state);
    *socketContext = state;
  } else if (std::unique_ptr<ConnectionState> state{static_cast<ConnectionState*>(*socketContext)}) {
    // Called before libmicrohttpd closes the socket: the reaper never shuts a reused number.
    if (--peers_[state->peerKey] <= 0) peers_.erase(state->peerKey);
    open_.erase(state.get());
    *socketContext = nullptr;
  }
}

void HttpServer::MarkAnswered(MHD_Connection* connection) {
  if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
      info && info->socket_context) {
    std::lock_guard lock(peersMutex_);
    static_cast<ConnectionState*>(info->socket_context)->answered = true;
  }
}

}  // namespace qserver
