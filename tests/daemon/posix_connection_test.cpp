// The POSIX connection against a real server on 127.0.0.1 (a thread of the test), driven by a
// poll loop like quorveld's: the same cases as the Winsock connection's tests.
#include "daemon/posix_connection.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/text.hpp"

namespace {

using quorvel::Connection;
using quorvel::PosixConnection;
using namespace std::chrono_literals;

void SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (put <= 0) return;
    done += static_cast<size_t>(put);
  }
}

// Reads up to the empty line that ends a request's headers.
std::string ReadRequest(int fd) {
  std::string text;
  char c;
  while (text.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) text += c;
  return text;
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// A blocking server on a free loopback port, serving one connection at a time on its own
// thread. The handler owns the accepted socket and closes it.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(int)> handler) : handler_(std::move(handler)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 16);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0 || stopping_) {
          if (client >= 0) close(client);
          return;
        }
        handler_(client);
      }
    });
  }
  ~LoopbackServer() {
    stopping_ = true;
    shutdown(listener_, SHUT_RDWR);  // wakes accept
    thread_.join();
    close(listener_);
  }
  int Port() const { return port_; }

 private:
  std::function<void(int)> handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Writes down every event as the service would see it, reading data as it comes.
class EventRecorder : public quorvel::ConnectionEvents {
 public:
  explicit EventRecorder(Connection& connection) : connection_(connection) { connection_.SetEvents(this); }
  ~EventRecorder() override { connection_.SetEvents(nullptr); }

  void Winsock1_Connect() override {
    events.push_back("Connect");
    connectedState = connection_.State();
    if (!request.empty()) connection_.SendData(request);
  }
  void Winsock1_SendComplete() override { events.push_back("SendComplete"); }
  void Winsock1_DataArrival(std::int32_t bytesTotal) override {
    // Repeats are written once: the outline is what the tests compare.
    if (events.empty() || events.back() != "DataArrival") events.push_back("DataArrival");
    ++pieces;
    std::wstring piece;
    connection_.GetData(piece);
    if (static_cast<size_t>(bytesTotal) != piece.size()) countsMatch = false;
    data += piece;
  }
  void Winsock1_Close() override { events.push_back("Close"); }
  void Winsock1_Error() override { events.push_back("Error"); }
  bool Ended() const { return !events.empty() && (events.back() == "Close" || events.back() == "Error"); }

  std::wstring request;
  std::vector<std::string> events;
  std::wstring data;
  int pieces = 0;
  std::int16_t connectedState = 0;
  bool countsMatch = true;

 private:
  Connection& connection_;
};

// quorveld's loop for the connection alone.
bool PumpUntil(PosixConnection& connection, const std::function<bool()>& done,
               std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  std::vector<pollfd> fds;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    fds.clear();
    connection.AddPollFds(fds);
    const int timeout = connection.PollTimeout() == 0 ? 0 : 20;
    poll(fds.data(), fds.size(), timeout);
    connection.Dispatch(fds);
  }
  return true;
}

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

void Aim(PosixConnection& connection, const wchar_t* host, int port) {
  connection.SetRemoteHost(host);
  connection.SetRemotePort(port);
}

TEST(PosixConnection, ReplyInPiecesComesWholeAfterSendCompleteAndBeforeTheClose) {
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
  // The last piece is large and followed at once by the close: it must not be lost.
  const std::string tail(200000, 'x');
  // A request far larger than the socket's buffers: sending resumes when there is room.
  const std::string large(4 << 20, 'r');
  std::string received;
  LoopbackServer server([&](int client) {
    std::string start(4, '\0');
    recv(client, start.data(), start.size(), MSG_WAITALL);
    if (start == "GET ") {
      received = start + ReadRequest(client);
      SendAll(client, head);
      std::this_thread::sleep_for(100ms);
      SendAll(client, "<html>");
      std::this_thread::sleep_for(100ms);
      SendAll(client, tail);
    } else {
      std::this_thread::sleep_for(300ms);  // the client fills its buffers meanwhile
      std::string rest(large.size() + 4, '\0');
      const ssize_t got = recv(client, rest.data(), rest.size(), MSG_WAITALL);
      received = start + rest.substr(0, got > 0 ? static_cast<size_t>(got) : 0);
      SendAll(client, "ok");
    }
    close(client);
  });
  PosixConnection connection;
  Aim(connection, L"127.0.0.1", server.Port());
  EventRecorder recorder(connection);
  recorder.request = L"GET / HTTP/1.0\r\n\r\n";
  connection.Close();  // harmless on a closed component
  connection.Connect();
  EXPECT_TRUE(recorder.events.empty());  // nothing from inside Connect
  ASSERT_TRUE(PumpUntil(connection, [&] { return recorder.Ended(); }));
  EXPECT_EQ(recorder.connectedState, Connection::kConnected);
  EXPECT_EQ(received, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"Connect", "SendComplete", "DataArrival", "Close"}));
  EXPECT_GE(recorder.pieces, 3);
  EXPECT_EQ(recorder.data, quorvel::FromAnsi(head + "<html>" + tail));
  EXPECT_TRUE(recorder.countsMatch);
  EXPECT_EQ(connection.State(), PosixConnection::kClosed);

  recorder.events.clear();
  recorder.data.clear();
  recorder.request = quorvel::FromAnsi("PUT " + large + "\r\n\r\n");
  connection.Connect();
  ASSERT_TRUE(PumpUntil(connection, [&] { return recorder.Ended(); }));
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"Connect", "SendComplete", "DataArrival", "Close"}));
  EXPECT_EQ(received.size(), large.size() + 8);
  EXPECT_EQ(recorder.data, L"ok");
}

TEST(PosixConnection, CloseWithoutDataRefusedPortBadPortAndResetEachEndOneWay) {
  LoopbackServer closing([](int client) { close(client); });
  PosixConnection connection;
  Aim(connection, L"127.0.0.1", closing.Port());
  EventRecorder recorder(connection);
  connection.Connect();
  ASSERT_TRUE(PumpUntil(connection, [&] { return recorder.Ended(); }));
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"Connect", "Close"}));
  EXPECT_TRUE(recorder.data.empty());

  // A port that was just free and has no listener.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(probe);
  recorder.events.clear();
  connection.SetRemotePort(ntohs(address.sin_port));
  connection.Connect();
  ASSERT_TRUE(PumpUntil(connection, [&] { return recorder.Ended(); }));
  EXPECT_EQ(recorder.events, std::vector<std::string>{"Error"});
  EXPECT_EQ(connection.State(), PosixConnection::kError);
  connection.Close();
  EXPECT_EQ(connection.State(), PosixConnection::kClosed);

  // A port outside 1..65535 fails the same way, later, without touching the network.
  recorder.events.clear();
  connection.SetRemotePort(0);
  connection.Connect();
  EXPECT_TRUE(recorder.events.empty());
  ASSERT_TRUE(PumpUntil(connection, [&] { return recorder.Ended(); }));
  EXPECT_EQ(recorder.events, std::vector<std::string>{"Error"});

  // Part of a reply, then a reset: the part is delivered, then an error, not a close.
  LoopbackServer resetting([](int client) {
    ReadRequest(client);
    SendAll(client, "HTTP/1.0 200 OK\r\n\r\n<html>");
    std::this_thread::sleep_for(200ms);
    linger hard{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(client);
  });
  recorder.events.clear();
  recorder.request = L"GET / HTTP/1.0\r\n\r\n";
  connection.SetRemotePort(resetting.Port());
  connection.Connect();
  ASSERT_TRUE(PumpUntil(connection, [&] { return recorder.Ended(); }));
  EXPECT_EQ(recorder.data, L"HTTP/1.0 200 OK\r\n\r\n<html>");
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"Connect", "SendComplete", "DataArrival", "Error"}));
}

TEST(PosixConnection, HostNameIsResolvedWithoutBlockingAndAnAbandonedLookupSaysNothing) {
  LoopbackServer server([](int client) { close(client); });
  PosixConnection connection;
  Aim(connection, L"localhost", server.Port());
  EventRecorder recorder(connection);
  connection.Connect();
  EXPECT_EQ(connection.State(), PosixConnection::kResolving);
  EXPECT_TRUE(recorder.events.empty());
  ASSERT_TRUE(PumpUntil(connection, [&] { return recorder.Ended(); }));
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"Connect", "Close"}));

  recorder.events.clear();
  connection.Connect();
  connection.Close();
  EXPECT_FALSE(PumpUntil(connection, [&] { return !recorder.events.empty(); }, 500ms));
  EXPECT_EQ(connection.State(), PosixConnection::kClosed);
}

TEST(PosixConnection, ThousandCloseConnectCyclesDeliverNoStaleEventAndLeakNoDescriptor) {
  // Connections come in pairs: the first is closed at once by the server, the second gets
  // one byte, then the server's close.
  std::atomic<int> served{0};
  LoopbackServer server([&](int client) {
    if (served % 2 == 1) SendAll(client, "x");
    close(client);
    ++served;
  });
  PosixConnection connection;
  Aim(connection, L"127.0.0.1", server.Port());
  EventRecorder recorder(connection);
  // Each cycle abandons a connection whose whole life has already happened, then makes
  // another, which usually gets the same descriptor number back. An event of the abandoned
  // one taken for the new one's would show as a Close before the new connection's byte.
  auto cycle = [&]() -> std::string {
    const int servedBefore = served;
    connection.Connect();
    for (int i = 0; i < 5000 && served == servedBefore; ++i) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(1ms);
    connection.Close();
    recorder.events.clear();
    recorder.data.clear();
    connection.Connect();
    if (!PumpUntil(connection, [&] { return recorder.Ended(); })) return "no outcome";
    std::string outline;
    for (const auto& event : recorder.events) outline += event + " ";
    if (recorder.data != L"x") outline += "data of " + std::to_string(recorder.data.size());
    return outline;
  };
  const std::string expected = "Connect DataArrival Close ";
  ASSERT_EQ(cycle(), expected);
  const int before = OpenDescriptors();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(cycle(), expected) << "cycle " << i;
  recorder.events.clear();
  EXPECT_FALSE(PumpUntil(connection, [&] { return !recorder.events.empty(); }, 200ms));
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
