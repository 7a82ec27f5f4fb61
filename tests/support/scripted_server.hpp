// A loopback update server for the tests: blocking sockets on 127.0.0.1, on its own thread,
// serving one connection at a time with a behaviour chosen per connection. Winsock on
// Windows, POSIX sockets elsewhere.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_socket.hpp"  // TestSocket, ReadRequest, SendAll

namespace quorvel_test {

// What the server does with one accepted connection. The server closes the socket afterwards
// (gracefully, unless the behaviour asked for a reset with ResetOnClose).
using Behaviour = std::function<void(TestSocket client, const std::atomic<bool>& stopping)>;

class ScriptedServer {
 public:
  // Connection n is served by behaviours[n], the last one serving every later connection.
  explicit ScriptedServer(std::vector<Behaviour> behaviours);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // 0 when no listener could be made.
  int Port() const { return port_; }
  // Connections accepted so far, and those served and closed.
  int Connections() const { return connections_; }
  int Served() const { return served_; }

 private:
  void Serve();

  SocketLibrary library_;
  std::vector<Behaviour> behaviours_;
  TestSocket listener_ = kNoSocket;
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<int> served_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens: connecting to it is refused.
int RefusedPort();

// Makes the coming close send a reset instead of the orderly end.
void ResetOnClose(TestSocket client);
// Waits up to milliseconds for the peer to close; true if it did (or the connection broke).
bool PeerClosedWithin(TestSocket client, int milliseconds);

// A reply of our server: status line, a header, the empty line, the marker and the word.
std::string Reply(const std::string& word);

// Behaviours every suite uses: read the request, answer with the word, end the sending side.
Behaviour Answer(std::string word);

// A server that answers every connection with one word and keeps each request it read.
class RecordingServer {
 public:
  explicit RecordingServer(std::string word);
  int Port() const { return server_.Port(); }
  std::vector<std::string> Requests();

 private:
  std::mutex lock_;
  std::vector<std::string> requests_;
  ScriptedServer server_;  // last: stopped before what its behaviour writes to goes
};

}  // namespace quorvel_test
