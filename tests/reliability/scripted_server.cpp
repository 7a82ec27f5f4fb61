#include "scripted_server.hpp"

#include <ws2tcpip.h>

#include <algorithm>

namespace quorvel_test {

namespace {

bool Readable(SOCKET socket, int milliseconds) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(socket, &ready);
  timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return select(0, &ready, nullptr, nullptr, &wait) > 0;
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<Behaviour> behaviours)
    : behaviours_(std::move(behaviours)) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  listener_ = LoopbackListener(port_);
  if (listener_ != INVALID_SOCKET) thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ != INVALID_SOCKET) closesocket(listener_);
  WSACleanup();
}

void ScriptedServer::Serve() {
  while (!stopping_) {
    if (!Readable(listener_, 50)) continue;
    const SOCKET client = accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    const int n = connections_++;
    const size_t index = std::min<size_t>(static_cast<size_t>(n), behaviours_.size() - 1);
    behaviours_[index](client, stopping_);
    closesocket(client);
  }
}

int RefusedPort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  int port = 0;
  const SOCKET listener = LoopbackListener(port);
  // Closed again at once: the port was free a moment ago and nothing listens there now.
  if (listener != INVALID_SOCKET) closesocket(listener);
  WSACleanup();
  return port;
}

void ResetOnClose(SOCKET client) {
  linger abort{1, 0};
  setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
}

bool PeerClosedWithin(SOCKET client, int milliseconds) {
  if (!Readable(client, milliseconds)) return false;
  char byte;
  return recv(client, &byte, 1, 0) <= 0;
}

std::string Reply(const std::string& word) {
  return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<!-- OSKEL_START_HTML -->" + word;
}

Behaviour Answer(std::string word) {
  return [word](SOCKET client, const std::atomic<bool>&) {
    ReadRequest(client);
    SendAll(client, Reply(word));
    shutdown(client, SD_SEND);
  };
}

}  // namespace quorvel_test
