// A loopback server for the reliability tests: blocking sockets on 127.0.0.1, on its own
// thread, serving one connection at a time with a behaviour chosen per connection.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_socket.hpp"  // ReadRequest, SendAll

namespace quorvel_test {

// What the server does with one accepted connection. The server closes the socket afterwards
// (gracefully, unless the behaviour asked for a reset with ResetOnClose).
using Behaviour = std::function<void(SOCKET client, const std::atomic<bool>& stopping)>;

class ScriptedServer {
 public:
  // Connection n is served by behaviours[n], the last one serving every later connection.
  explicit ScriptedServer(std::vector<Behaviour> behaviours);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int Port() const { return port_; }
  int Connections() const { return connections_; }

 private:
  void Serve();

  std::vector<Behaviour> behaviours_;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens: connecting to it is refused.
int RefusedPort();

// Makes the coming close send a reset instead of the orderly end.
void ResetOnClose(SOCKET client);
// Waits up to milliseconds for the peer to close; true if it did (or the connection broke).
bool PeerClosedWithin(SOCKET client, int milliseconds);

// A reply of our server: status line, a header, the empty line, the marker and the word.
std::string Reply(const std::string& word);

// Behaviours every suite uses.
Behaviour Answer(std::string word);

}  // namespace quorvel_test
