#include "scripted_server.hpp"

#include <algorithm>

#include "update/protocol.hpp"

#ifndef _WIN32
#include <sys/socket.h>
#endif

namespace quorvel_test {

ScriptedServer::ScriptedServer(std::vector<Behaviour> behaviours) : behaviours_(std::move(behaviours)) {
  listener_ = LoopbackListener(port_);
  if (listener_ != kNoSocket) thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ != kNoSocket) CloseSocket(listener_);
}

void ScriptedServer::Serve() {
  while (!stopping_) {
    if (!Readable(listener_, 50)) continue;
    const TestSocket client = accept(listener_, nullptr, nullptr);
    if (client == kNoSocket) continue;
    const int n = connections_++;
    const size_t index = std::min<size_t>(static_cast<size_t>(n), behaviours_.size() - 1);
    behaviours_[index](client, stopping_);
    CloseSocket(client);
    ++served_;
  }
}

int RefusedPort() {
  const SocketLibrary library;
  int port = 0;
  const TestSocket listener = LoopbackListener(port);
  // Closed again at once: the port was free a moment ago and nothing listens there now.
  if (listener != kNoSocket) CloseSocket(listener);
  return port;
}

void ResetOnClose(TestSocket client) {
  linger abort{1, 0};
  setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
}

bool PeerClosedWithin(TestSocket client, int milliseconds) {
  if (!Readable(client, milliseconds)) return false;
  char byte;
  return recv(client, &byte, 1, 0) <= 0;
}

std::string Reply(const std::string& word) {
  const std::wstring_view marker = quorvelmod::kReplyMarker;  // ASCII
  return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + std::string(marker.begin(), marker.end()) +
         word;
}

Behaviour Answer(std::string word) {
  return [word](TestSocket client, const std::atomic<bool>&) {
    ReadRequest(client);
    SendAll(client, Reply(word));
    ShutdownSending(client);
  };
}

RecordingServer::RecordingServer(std::string word)
    : server_({[this, word](TestSocket client, const std::atomic<bool>&) {
        const std::string request = ReadRequest(client, 2000);
        {
          const std::lock_guard<std::mutex> hold(lock_);
          requests_.push_back(request);
        }
        SendAll(client, Reply(word));
        ShutdownSending(client);
      }}) {}

std::vector<std::string> RecordingServer::Requests() {
  const std::lock_guard<std::mutex> hold(lock_);
  return requests_;
}

}  // namespace quorvel_test
