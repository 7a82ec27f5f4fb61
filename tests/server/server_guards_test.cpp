// The guards against hostile peers and a stalled log: malformed, oversized and unfinished
// requests, the per-peer connection limit, repeated headers, standard output that stops.
#include "server_process.hpp"

namespace {

using namespace qserver_test;

TEST_F(ServerTest, UnknownPagesAndMalformedRequestsAreRefused) {
  const std::string id = Add("maison");
  Server server(store_);
  ASSERT_NE(server.port(), 0);
  const int p = server.port();
  EXPECT_EQ(Status(Exchange(p, "GET / HTTP/1.0\r\n\r\n")), 404);
  EXPECT_EQ(Status(Exchange(p, "GET /update.php?ip_key=demo HTTP/1.0\r\n\r\n")), 404);
  EXPECT_EQ(Status(Exchange(p, "POST /update?ip_key=demo HTTP/1.0\r\n\r\n")), 405);
  EXPECT_EQ(Status(Exchange(p, "GET /nic/update HTTP/1.0\r\nContent-Length: 1\r\n\r\nx")), 401);
  for (const std::string& bad :
       {std::string("garbage\r\n\r\n"), std::string("GET /update?ip_key=demo HTTP/9.9\r\n\r\n"),
        std::string("GET / HTTP/1.0\r\nno colon here\r\n\r\n"),
        std::string("GET / HTTP/1.0\r\nContent-Length: x\r\n\r\n")}) {
    SCOPED_TRACE(bad);
    const std::string reply = Exchange(p, bad);
    EXPECT_TRUE(reply.empty() || (Status(reply) >= 400 && Status(reply) < 600)) << reply;
  }
  // /metrics is for loopback peers: answered here (another test checks the content).
  EXPECT_EQ(Status(Exchange(p, "GET /metrics HTTP/1.0\r\n\r\n")), 200);
  // Control bytes in a request line reach the log escaped, never raw.
  Exchange(p, "GET /\x1b[2J HTTP/1.0\r\n\r\n");
  std::string line;
  for (int i = 0; i < 12 && !Contains(line, "[2J"); ++i) line = server.ReadLine();
  EXPECT_TRUE(Contains(line, "\"GET /\\x1B[2J HTTP/1.0\"")) << line;
  EXPECT_FALSE(Contains(line, "\x1b"));
  EXPECT_EQ(Word(p, id), "found");
}

TEST_F(ServerTest, OversizedOrUnfinishedRequestsNeitherHangNorStallIt) {
  const std::string id = Add("maison");
  Server server(store_, {"--read-timeout", "1"});
  ASSERT_NE(server.port(), 0);
  const int p = server.port();
  // A client that starts a request and never finishes it...
  Connection stalled(p);
  ASSERT_TRUE(stalled.Send("GET /upd"));
  // ...does not keep others waiting, and is closed once its time is up.
  EXPECT_EQ(Word(p, id), "found");
  EXPECT_NE(stalled.ReadToClose(), "TIMEOUT");
  // A head that never ends is cut off at its bound.
  EXPECT_GE(Status(Exchange(p, "GET /" + std::string(20000, 'a'))), 400);
  EXPECT_GE(Status(Exchange(p, "GET / HTTP/1.0\r\nX: " + std::string(20000, 'b') + "\r\n\r\n")), 400);
  // A body larger than any form is refused, and when its length is declared, at once, before
  // any of it is sent (the read timeout, 1 s here, would end it otherwise without a reply).
  EXPECT_EQ(Status(Exchange(p, "POST /creer.php6 HTTP/1.0\r\nHost: " + OwnHost(p) +
                                   "\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'x'))),
            413);
  {
    Connection declared(p);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(declared.Send("POST /creer.php6 HTTP/1.1\r\nHost: " + OwnHost(p) +
                              "\r\nContent-Length: 2000000000\r\n\r\nnom="));
    EXPECT_EQ(Status(declared.ReadToClose()), 413);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  }
  // A head sent a byte at a time, never silent for long, has the read timeout in all.
  {
    Connection dripping(p);
    const auto start = std::chrono::steady_clock::now();
    const std::string head = "GET /update?ip_key=" + std::string(200, 'a');
    std::size_t sent = 0;
    while (sent < head.size() && dripping.Send(head.substr(sent, 1)) && !dripping.ClosedWithin(0)) {
      ++sent;
      ::usleep(200 * 1000);
    }
    const auto held = std::chrono::steady_clock::now() - start;
    EXPECT_LT(sent, head.size());
    EXPECT_GE(held, std::chrono::milliseconds(900));
    EXPECT_LT(held, std::chrono::milliseconds(2500));
  }
  // A body shorter than announced is closed after the timeout.
  EXPECT_NE(Exchange(p, "POST /creer.php6 HTTP/1.0\r\nContent-Length: 9\r\n\r\nnom"), "TIMEOUT");
  {
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < 40; ++i) idle.push_back(std::make_unique<Connection>(p));
    for (auto& c : idle) EXPECT_NE(c->ReadToClose(), "TIMEOUT");
  }
  EXPECT_EQ(Word(p, id), "found");
  EXPECT_EQ(List(), "maison 127.0.0.1 - " + LastLine(List()).substr(LastLine(List()).rfind(' ') + 1) + "\n");
}

TEST_F(ServerTest, OnePeerHoldsAFewConnectionsAtMostAndAllOfLoopbackIsOnePeer) {
  const std::string id = Add("maison");
  Server server(store_, {"--max-per-peer", "8", "--read-timeout", "3"});
  ASSERT_NE(server.port(), 0);
  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 8; ++i)
    idle.push_back(std::make_unique<Connection>(server.port(), i % 2 ? "127.0.0.3" : nullptr));
  ::usleep(300 * 1000);  // all eight accepted
  // A ninth from loopback, whatever its address, is refused at once (not at the read timeout,
  // 3 s); an update gets in once the peer's own connections have timed out.
  Connection refused(server.port(), "127.0.0.4");
  EXPECT_TRUE(refused.ClosedWithin(1000));
  for (auto& c : idle) EXPECT_NE(c->ReadToClose(), "TIMEOUT");  // timed out
  // The server counts a connection gone when the HTTP library reports it closed, a moment
  // after the client has seen the close.
  std::string word;
  for (int attempt = 0; attempt < 20 && (word = Word(server.port(), id)) != "found"; ++attempt)
    ::usleep(50 * 1000);
  EXPECT_EQ(word, "found");
}

TEST_F(ServerTest, TheConnectionLimitHoldsOverEveryListeningAddress) {
  const std::string id = Add("maison");
  Server server(store_, {"--listen", "127.0.0.1:0", "--max-connections", "4", "--read-timeout", "3"});
  ASSERT_NE(server.port(), 0);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(server.second(), m, std::regex(R"(127\.0\.0\.1:(\d+)/$)"))) << server.second();
  const int other = std::stoi(m[1]);
  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 4; ++i) idle.push_back(std::make_unique<Connection>(i % 2 ? other : server.port()));
  ::usleep(300 * 1000);
  for (const int port : {server.port(), other}) {
    Connection refused(port);
    EXPECT_TRUE(refused.ClosedWithin(1000)) << port;
  }
  idle.clear();
  std::string word;
  for (int attempt = 0; attempt < 20 && (word = Word(other, id)) != "found"; ++attempt) ::usleep(50 * 1000);
  EXPECT_EQ(word, "found");
}

TEST_F(ServerTest, RepeatedLengthOrHostHeadersAreRefused) {
  Server server(store_);
  ASSERT_NE(server.port(), 0);
  const std::string host = "Host: " + OwnHost(server.port()) + "\r\n";
  const std::string token = FormToken(CreationPage(server.port()));
  const std::string body = "nom=maison&jeton=" + token;
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  for (const std::string& headers : {length + length + host, length + host + "Host: evil.example\r\n"}) {
    SCOPED_TRACE(headers);
    EXPECT_EQ(Status(Exchange(server.port(), "POST /creer.php6 HTTP/1.1\r\n" + headers + "\r\n" + body)),
              400);
  }
  EXPECT_EQ(List(), "");
}

TEST_F(ServerTest, AStalledStandardOutputNeitherBlocksRepliesNorLosesTheCount) {
  const std::string id = Add("maison");
  // Nobody reads the server's output for a while: the pipe fills, then the queue.
  Server server(store_, {"--threads", "2", "--max-failures-per-hour", "0"}, false);
  ASSERT_NE(server.port(), 0);
  ::fcntl(server.fd(), F_SETPIPE_SZ, 4096);
  int found = 0;
  for (int i = 0; i < 9000; ++i)
    found += Word(server.port(), "unknown" + std::to_string(i % 10)) == "notfound";
  EXPECT_EQ(found, 9000);
  std::string line;
  do line = server.ReadLine();
  while (!line.empty() && !Contains(line, "dropped"));
  EXPECT_TRUE(std::regex_search(
      line, std::regex(R"(log: \d+ line\(s\) dropped while standard output was not taking them)")))
      << line;
}

}  // namespace
