// The connection's order of events, natively, against a socket the test scripts: what each
// edge relies on the core for, without a network.
#include "update/connection_core.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "support/event_recorder.hpp"

namespace quorvel_test {
namespace {

using quorvel::Connection;
using quorvel::ConnectionCore;
using Events = std::vector<std::string>;

// A connection whose socket is played by the test: it takes what send is given up to `room`
// bytes, and hands out the `incoming` pieces one per receive ("" is the peer's end).
class ScriptedConnection final : public ConnectionCore {
 public:
  using ConnectionCore::DeliverNotices;
  using ConnectionCore::OnConnectDone;
  using ConnectionCore::OnPeerClosed;
  using ConnectionCore::OnReadable;
  using ConnectionCore::OnWritable;

  std::vector<std::string> opened;
  bool openFails = false;
  std::size_t room = 1 << 20;
  bool sendFails = false;
  std::string wire;
  std::deque<std::string> incoming;
  bool receiveFails = false;
  int wakes = 0;

 private:
  void Open(const std::string& host) override {
    opened.push_back(host);
    if (openFails) {
      PostError();
      return;
    }
    SetState(kConnecting);
  }
  void DropSocket() override { incoming.clear(); }
  Io Send(const char* bytes, std::size_t size, std::size_t& count) override {
    if (sendFails) return Io::kFailed;
    if (room == 0) return Io::kWouldBlock;
    count = std::min(size, room);
    room -= count;
    wire.append(bytes, count);
    return Io::kDone;
  }
  Io Receive(char* buffer, std::size_t size, std::size_t& count) override {
    if (receiveFails) return Io::kFailed;
    if (incoming.empty()) return Io::kWouldBlock;
    std::string& piece = incoming.front();
    count = std::min(size, piece.size());
    std::copy_n(piece.data(), count, buffer);
    piece.erase(0, count);
    if (piece.empty() && count > 0) incoming.pop_front();
    return Io::kDone;
  }
  void Wake() override { ++wakes; }
};

class ConnectionCoreTest : public testing::Test {
 protected:
  void SetUp() override {
    connection.SetRemoteHost(L"update.example");
    connection.SetRemotePort(80);
  }
  // Connect, and the socket's connection attempt succeeds; the recorder sends its request.
  void Connected() {
    connection.Connect();
    connection.OnConnectDone(false);
    ASSERT_EQ(connection.State(), Connection::kConnected);
  }

  ScriptedConnection connection;
  EventRecorder recorder{connection};
};

TEST_F(ConnectionCoreTest, SendCompleteComesOnceBeforeTheFirstReplyByteWhicheverIsSeenFirst) {
  recorder.request = L"GET /";
  Connected();
  EXPECT_EQ(connection.opened, std::vector<std::string>{"update.example"});
  EXPECT_EQ(connection.wire, "GET /");
  // All sent, yet said from the loop's next turn, never inside SendData.
  EXPECT_EQ(recorder.events, Events{"Connect"});
  EXPECT_EQ(connection.wakes, 1);
  // The reply is seen before the notice: SendComplete is said first, and only once.
  connection.incoming = {"HTTP"};
  connection.OnReadable(false);
  connection.DeliverNotices();
  EXPECT_EQ(recorder.events, (Events{"Connect", "SendComplete", "DataArrival"}));
  EXPECT_EQ(recorder.data, L"HTTP");

  // The other way round: the notice first, then the reply; then the peer's end.
  recorder.Forget();
  Connected();
  connection.DeliverNotices();
  connection.incoming = {"ok", ""};
  connection.OnReadable(false);
  connection.OnReadable(false);
  EXPECT_EQ(recorder.events, (Events{"Connect", "SendComplete", "DataArrival", "Close"}));
  EXPECT_EQ(connection.State(), ConnectionCore::kClosed);

  // A request that fills the socket: SendComplete waits until its last byte is taken.
  recorder.Forget();
  connection.wire.clear();
  connection.room = 3;
  Connected();
  connection.DeliverNotices();
  connection.OnWritable(false);
  EXPECT_EQ(recorder.events, Events{"Connect"});
  EXPECT_EQ(connection.wire, "GET");
  connection.room = 100;
  connection.OnWritable(false);
  connection.DeliverNotices();
  EXPECT_EQ(connection.wire, "GET /");
  EXPECT_EQ(recorder.events, (Events{"Connect", "SendComplete"}));
}

TEST_F(ConnectionCoreTest, EventsOfAnOlderConnectionAreDropped) {
  recorder.request = L"GET /";
  Connected();
  // The request went out, and the connection was replaced before its notice came.
  connection.Close();
  connection.Connect();
  connection.DeliverNotices();
  connection.OnReadable(false);  // the new attempt is not connected yet: nothing to read
  EXPECT_EQ(recorder.events, Events{"Connect"});
  EXPECT_EQ(connection.State(), ConnectionCore::kConnecting);

  // An error raised for an attempt that was closed at once is never reported.
  recorder.Forget();
  connection.SetRemotePort(0);
  connection.Connect();
  connection.Close();
  connection.DeliverNotices();
  EXPECT_TRUE(recorder.events.empty());
  // Nor one raised before a new Connect.
  connection.Connect();
  connection.SetRemotePort(80);
  connection.Connect();
  connection.DeliverNotices();
  EXPECT_TRUE(recorder.events.empty());
  // The outcome of an attempt that was closed comes to nothing.
  connection.Close();
  connection.OnConnectDone(false);
  connection.OnConnectDone(true);
  EXPECT_TRUE(recorder.events.empty());
  EXPECT_EQ(connection.State(), ConnectionCore::kClosed);
}

TEST_F(ConnectionCoreTest, AnErrorRaisedInsideACallIsReportedLaterAndOnce) {
  // A port out of range, an empty host, a host with a zero in it, a socket that cannot be
  // made: Connect returns quietly, in the error state, and Error comes from the loop.
  const auto failLater = [&](const std::wstring& host, int port, bool openFails) {
    recorder.Forget();
    connection.SetRemoteHost(host);
    connection.SetRemotePort(port);
    connection.openFails = openFails;
    connection.Connect();
    std::string outline = std::to_string(connection.State()) + ":";
    for (const auto& event : recorder.events) outline += event + " ";
    connection.DeliverNotices();
    connection.DeliverNotices();
    for (const auto& event : recorder.events) outline += event + " ";
    return outline;
  };
  EXPECT_EQ(failLater(L"update.example", 0, false), "9:Error ");
  EXPECT_EQ(failLater(L"update.example", 65536, false), "9:Error ");
  EXPECT_EQ(failLater(L"", 80, false), "9:Error ");
  EXPECT_EQ(failLater(std::wstring(L"a\0b", 3), 80, false), "9:Error ");
  EXPECT_EQ(failLater(L"update.example", 80, true), "9:Error ");
  EXPECT_EQ(connection.opened.size(), 1u) << "only the well-formed address reached the socket";

  // A send that fails inside SendData: reported later too.
  connection.openFails = false;
  recorder.Forget();
  recorder.request = L"GET /";
  connection.sendFails = true;
  connection.Connect();
  connection.OnConnectDone(false);
  EXPECT_EQ(recorder.events, Events{"Connect"});
  EXPECT_EQ(connection.State(), ConnectionCore::kError);
  connection.DeliverNotices();
  EXPECT_EQ(recorder.events, (Events{"Connect", "Error"}));
}

// Closes the connection from inside its first DataArrival, as the service does with a reply.
class ClosingRecorder : public EventRecorder {
 public:
  explicit ClosingRecorder(Connection& connection) : EventRecorder(connection), connection_(connection) {}
  void Winsock1_DataArrival(std::int32_t bytesTotal) override {
    EventRecorder::Winsock1_DataArrival(bytesTotal);
    connection_.Close();
  }

 private:
  Connection& connection_;
};

TEST_F(ConnectionCoreTest, PeerCloseHandsOverEverythingFirstUnlessAHandlerEndsTheConnection) {
  recorder.request = L"GET /";
  Connected();
  // The reply in pieces, then the peer's end: every piece, then Close, after SendComplete.
  connection.incoming = {std::string(40000, 'a'), "b"};
  connection.OnPeerClosed(false);
  EXPECT_EQ(recorder.Outline(), (Events{"Connect", "SendComplete", "DataArrival", "Close"}));
  EXPECT_EQ(recorder.Count("DataArrival"), 4) << "16 KB at a time";
  EXPECT_EQ(recorder.data, std::wstring(40000, L'a') + L"b");
  EXPECT_TRUE(recorder.countsMatch);
  EXPECT_EQ(connection.State(), ConnectionCore::kClosed);

  // A peer that breaks the connection, or a failed receive: Error, after SendComplete.
  recorder.Forget();
  Connected();
  connection.OnPeerClosed(true);
  EXPECT_EQ(recorder.events, (Events{"Connect", "SendComplete", "Error"}));
  recorder.Forget();
  Connected();
  connection.DeliverNotices();
  connection.receiveFails = true;
  connection.OnReadable(false);
  EXPECT_EQ(recorder.events, (Events{"Connect", "SendComplete", "Error"}));
  EXPECT_EQ(connection.State(), ConnectionCore::kError);
  connection.receiveFails = false;

  // A handler that closes the connection on the first piece: nothing more of it is read or said.
  ClosingRecorder closing(connection);
  closing.request = L"GET /";
  Connected();
  connection.DeliverNotices();
  connection.incoming = {std::string(20000, 'c'), ""};
  connection.OnPeerClosed(false);
  connection.DeliverNotices();
  EXPECT_EQ(closing.events, (Events{"Connect", "SendComplete", "DataArrival"}));
  EXPECT_EQ(connection.State(), ConnectionCore::kClosed);
}

// A TLS engine played by the test. The client's first flight is "HELLO"; the server's "SH"
// ends the handshake (the client answers "FIN"), "BAD" is a refused certificate. A record is
// "[text]", "[!]" the close_notify, "[?]" one the session answers with "[k]" (as a key update);
// a record may come in pieces.
class ScriptedTls final : public quorvel::TlsEngine {
 public:
  std::vector<std::string>* hosts;
  explicit ScriptedTls(std::vector<std::string>* seen) : hosts(seen) {}
  bool Begin(const std::string& host) override {
    hosts->push_back(host);
    return true;
  }
  Step Handshake(std::string& in, std::string& out) override {
    if (in.empty() && !hello_) {
      hello_ = true;
      out += "HELLO";
      return Step::kMore;
    }
    if (in.rfind("BAD", 0) == 0) return Step::kFailed;
    if (in.size() < 2) return Step::kMore;
    in.erase(0, 2);
    out += "FIN";
    return Step::kDone;
  }
  bool Encrypt(std::string_view plain, std::string& out) override {
    out += "[" + std::string(plain) + "]";
    return true;
  }
  Step Decrypt(std::string& in, std::string& plain, std::string& out) override {
    while (!in.empty()) {
      if (in[0] != '[') return Step::kFailed;
      const std::size_t end = in.find(']');
      if (end == std::string::npos) return Step::kMore;
      const std::string record = in.substr(1, end - 1);
      in.erase(0, end + 1);
      if (record == "!") return Step::kClosed;
      if (record == "?") {
        out += "[k]";
        continue;
      }
      plain += record;
    }
    return Step::kMore;
  }
  void CloseNotify(std::string& out) override { out += "[!]"; }
  void End() override { hello_ = false; }
  std::string Verdict() const override { return "certificate: not trusted"; }

 private:
  bool hello_ = false;
};

class ConnectionCoreTlsTest : public ConnectionCoreTest {
 protected:
  void SetUp() override {
    ConnectionCoreTest::SetUp();
    connection.SetTls(std::make_unique<ScriptedTls>(&sniHosts));
    recorder.request = L"GET /";
  }
  // Connect, the socket connects, the server's part of the handshake comes.
  void Handshake() {
    connection.Connect();
    connection.wire.clear();  // the new connection's bytes only
    connection.OnConnectDone(false);
    connection.incoming = {"SH"};
    connection.OnReadable(false);
  }
  std::vector<std::string> sniHosts;
};

TEST_F(ConnectionCoreTlsTest, ConnectAfterTheHandshakeRecordsOnTheWirePlaintextToTheService) {
  connection.Connect();
  connection.OnConnectDone(false);
  // The socket is up, the handshake is not over: the service still sees a connection attempt.
  EXPECT_EQ(connection.wire, "HELLO");
  EXPECT_TRUE(recorder.events.empty());
  EXPECT_EQ(connection.State(), ConnectionCore::kConnecting);
  EXPECT_EQ(sniHosts, std::vector<std::string>{"update.example"});
  connection.incoming = {"S"};
  connection.OnReadable(false);
  EXPECT_TRUE(recorder.events.empty()) << "half of the server's flight";
  connection.incoming = {"H"};
  connection.OnReadable(false);
  EXPECT_EQ(recorder.events, Events{"Connect"});
  EXPECT_EQ(recorder.connectedState, Connection::kConnected);
  // The handshake's end, then the request as a record; SendComplete from the loop.
  EXPECT_EQ(connection.wire, "HELLOFIN[GET /]");
  connection.DeliverNotices();
  // A record in two pieces: one DataArrival with the plaintext once it is whole.
  connection.incoming = {"[HTTP/1.0 200", " OK]"};
  connection.OnReadable(false);
  connection.OnReadable(false);
  EXPECT_EQ(recorder.data, L"HTTP/1.0 200 OK");
  EXPECT_TRUE(recorder.countsMatch);
  // The peer's close_notify: Close, before the stream ends.
  connection.incoming = {"[bye][!]"};
  connection.OnReadable(false);
  EXPECT_EQ(recorder.events, (Events{"Connect", "SendComplete", "DataArrival", "DataArrival", "Close"}));
  EXPECT_EQ(recorder.data, L"HTTP/1.0 200 OKbye");
  EXPECT_EQ(connection.State(), ConnectionCore::kClosed);

  // A socket without room: SendComplete only once the request's last record is taken, and
  // the reply seen first is still said after it.
  recorder.Forget();
  connection.room = 12;
  Handshake();
  EXPECT_EQ(connection.wire, "HELLOFIN[GET");
  connection.DeliverNotices();
  EXPECT_EQ(recorder.events, Events{"Connect"});
  connection.room = 100;
  connection.incoming = {"[ok]"};
  connection.OnWritable(false);
  connection.OnReadable(false);
  connection.DeliverNotices();
  EXPECT_EQ(connection.wire, "HELLOFIN[GET /]");
  EXPECT_EQ(recorder.events, (Events{"Connect", "SendComplete", "DataArrival"}));
  // The stream's end without close_notify is an end too; the service's own Close says
  // close_notify to the peer first.
  connection.OnPeerClosed(false);
  EXPECT_EQ(recorder.events.back(), "Close");
  // The session's own answer to the peer takes the rest of the request with it: SendComplete
  // still comes.
  recorder.Forget();
  connection.room = 12;
  Handshake();
  connection.room = 100;
  connection.incoming = {"[?]"};
  connection.OnReadable(false);
  connection.DeliverNotices();
  EXPECT_EQ(connection.wire, "HELLOFIN[GET /][k]");
  EXPECT_EQ(recorder.events, (Events{"Connect", "SendComplete"}));
  recorder.Forget();
  Handshake();
  connection.Close();
  EXPECT_EQ(connection.wire, "HELLOFIN[GET /][!]");
  EXPECT_EQ(connection.TlsFailure(), "");
}

TEST_F(ConnectionCoreTlsTest, RefusedCertificateOrAHandshakeCutShortIsAnErrorNeverAConnect) {
  connection.Connect();
  connection.OnConnectDone(false);
  connection.incoming = {"BAD"};
  connection.OnReadable(false);
  EXPECT_EQ(recorder.events, Events{"Error"});
  EXPECT_EQ(connection.TlsFailure(), "certificate: not trusted");
  EXPECT_EQ(connection.State(), ConnectionCore::kError);
  EXPECT_EQ(connection.wire, "HELLO") << "nothing of the request went out";

  // The server ends the connection in the middle of the handshake, seen as a receive of
  // nothing or as the edge's close: Error, with a reason, never Close.
  recorder.Forget();
  connection.wire.clear();
  connection.Connect();
  EXPECT_EQ(connection.TlsFailure(), "") << "a new connection forgets the old verdict";
  connection.OnConnectDone(false);
  connection.incoming = {"S", ""};
  connection.OnReadable(false);
  connection.OnReadable(false);
  EXPECT_EQ(recorder.events, Events{"Error"});
  EXPECT_NE(connection.TlsFailure().find("handshake"), std::string::npos);
  recorder.Forget();
  connection.Connect();
  connection.OnConnectDone(false);
  connection.OnPeerClosed(false);
  EXPECT_EQ(recorder.events, Events{"Error"});

  // A plain server's reply where records are expected: Error after the handshake too.
  recorder.Forget();
  Handshake();
  connection.DeliverNotices();
  connection.incoming = {"HTTP/1.0 400"};
  connection.OnReadable(false);
  EXPECT_EQ(recorder.events, (Events{"Connect", "SendComplete", "Error"}));
  EXPECT_TRUE(recorder.data.empty());
}

}  // namespace
}  // namespace quorvel_test
