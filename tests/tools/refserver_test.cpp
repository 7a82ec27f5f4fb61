// The reference update server as the client and a browser meet it: started as its own
// process on a free loopback port, spoken to over real sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/text.hpp"
#include "update/protocol.hpp"

namespace {

namespace fs = std::filesystem;
const std::string kMarker = "<!-- OSKEL_START_HTML -->";

// The server as a child process, its standard output and error read line by line.
class RefServer {
 public:
  RefServer(const fs::path& store, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {REFSERVER_PATH, "--port", "0", "--store", store.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(out[1], STDERR_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
    first_ = ReadLine();
    std::smatch m;
    if (std::regex_search(first_, m, std::regex(R"(^listening on http://127\.0\.0\.1:(\d+)/)")))
      port_ = std::stoi(m[1]);
  }
  ~RefServer() { Stop(); }

  int port() const { return port_; }
  const std::string& first() const { return first_; }

  // The next line the server prints, or "" when none comes within 10 seconds.
  std::string ReadLine() {
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (true) {
      std::size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          give_up - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (out_ < 0 || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
        return "";
      char buffer[1024];
      ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n <= 0) return "";
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // Stops it as a user would (SIGTERM) and returns its exit status.
  int Stop() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    return Wait();
  }

  // Waits for it to end by itself and returns its exit status.
  int Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (out_ >= 0) ::close(out_);
    out_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int port_ = 0;
  std::string first_;
  std::string pending_;
};

// A loopback connection with a 10-second limit on every wait, so a server that hangs
// fails the test instead of stalling it.
// It comes from 127.0.0.1 unless another loopback source address is given.
class Connection {
 public:
  explicit Connection(int port, const char* source = nullptr) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval limit{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (source) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      ::inet_pton(AF_INET, source, &from.sin_addr);
      ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Connection() { ::close(fd_); }

  bool Send(const std::string& bytes) {
    std::size_t done = 0;
    while (connected_ && done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return connected_;
  }

  // Everything up to the server's close, or "TIMEOUT" if it neither answers nor closes.
  std::string ReadToClose() {
    std::string reply;
    char buffer[4096];
    while (true) {
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0) return reply;
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? "TIMEOUT" : reply;
      reply.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // Whether the server has closed it, without waiting.
  bool ClosedByServer() {
    char byte;
    return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

std::string Exchange(int port, const std::string& request, const char* source = nullptr) {
  Connection c(port, source);
  if (!c.Send(request)) return "SEND FAILED";
  return c.ReadToClose();
}

// The request exactly as the client builds it.
std::string UpdateRequest(const std::string& id) {
  return quorvel::ToAnsi(quorvelmod::BuildHttpRequest(
      L"127.0.0.1", L"?ip_key=" + quorvel::FromAnsi(id), L"/update", L"GET"));
}

int Status(const std::string& reply) {
  std::smatch m;
  return std::regex_search(reply, m, std::regex(R"(^HTTP/1\.0 (\d{3}) )")) ? std::stoi(m[1]) : 0;
}

std::string Body(const std::string& reply) {
  std::size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The identifier shown on the page that the creation form leads to.
std::string CreatedIdentifier(const std::string& reply) {
  std::smatch m;
  return std::regex_search(reply, m, std::regex(R"(<strong>([^<]*)</strong>)")) ? m[1].str() : "";
}

std::string OwnHost(int port) { return "127.0.0.1:" + std::to_string(port); }

// The creation page as a browser on this machine asks for it.
std::string CreationPage(int port) {
  return Exchange(port, "GET /creer.php6 HTTP/1.0\r\nHost: " + OwnHost(port) + "\r\n\r\n");
}

// The form's hidden token on the creation page.
std::string FormToken(const std::string& page) {
  std::smatch m;
  const std::regex field(R"re(name="jeton" value="([0-9a-f]{32})")re");
  return std::regex_search(page, m, field) ? m[1].str() : "";
}

// The form's submission as a browser sends it; an empty host leaves the Host header out.
std::string CreationRequest(const std::string& host, const std::string& token) {
  const std::string body = "nouveau=1&jeton=" + token;
  return "POST /creer.php6 HTTP/1.1\r\n" + (host.empty() ? "" : "Host: " + host + "\r\n") +
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct stat Stat(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class RefServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/refserver-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    store_ = dir_ / "ids.txt";
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  fs::path store_;
};

TEST_F(RefServerTest, UpdateRepliesEndInTheMarkerAndTheWordTheClientReads) {
  RefServer server(store_, {"--add-id", "demo-1_X"});
  ASSERT_NE(server.port(), 0);

  struct Case {
    std::string id;
    std::string word;
  };
  const std::vector<Case> cases = {
      {"demo-1_X", "found"},
      {"demo-1_x", "notfound"},               // identifiers are case-sensitive
      {"unknown", "notfound"},
      {"", "incorrect"},                      // empty
      {std::string(33, 'a'), "incorrect"},    // longer than 32
      {"a b", "incorrect"},                   // a typed space arrives unescaped
      {"caf\xE9", "incorrect"},               // non-ASCII byte from the ANSI code page
      {"a%41", "incorrect"},                  // no escaping is undone
      {"demo-1_X&x=1", "incorrect"},         // a second parameter is part of the identifier
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("identifier \"" + c.id + "\"");
    std::string reply = Exchange(server.port(), UpdateRequest(c.id));
    EXPECT_EQ(Status(reply), 200);
    EXPECT_TRUE(EndsWith(Body(reply), kMarker + c.word)) << reply;
    EXPECT_EQ(quorvelmod::ParseServerReply(quorvel::FromAnsi(reply)), quorvel::FromAnsi(c.word));
    std::string line = server.ReadLine();
    EXPECT_NE(line.find("127.0.0.1:"), std::string::npos) << line;
    EXPECT_NE(line.find(" 200 " + c.word), std::string::npos) << line;
    if (c.word == "found") {
      EXPECT_NE(line.find("\"GET /update?ip_key=demo-1_X HTTP/1.0\""), std::string::npos) << line;
      EXPECT_NE(line.find("recorded 127.0.0.1"), std::string::npos) << line;
    }
  }
  // A found update records the address it came from, and the time, in the store.
  EXPECT_TRUE(std::regex_search(ReadFile(store_),
                                std::regex(R"(^demo-1_X\t127\.0\.0\.1\t\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\n)")))
      << ReadFile(store_);
  // Another from the same address is answered without rewriting the file (a rewrite is a
  // new file renamed over it).
  const struct stat before = Stat(store_);
  EXPECT_TRUE(EndsWith(Exchange(server.port(), UpdateRequest("demo-1_X")), kMarker + "found"));
  EXPECT_NE(server.ReadLine().find("200 found, recorded 127.0.0.1"), std::string::npos);
  EXPECT_EQ(Stat(store_).st_ino, before.st_ino);
}

TEST_F(RefServerTest, CreationPageCreatesIdentifiersThatUpdatesThenFind) {
  RefServer server(store_);
  ASSERT_NE(server.port(), 0);

  std::string page = CreationPage(server.port());
  EXPECT_EQ(Status(page), 200);
  EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
  EXPECT_NE(page.find("Créer un identifiant unique"), std::string::npos);
  EXPECT_NE(page.find("<form method=\"post\" action=\"/creer.php6\">"), std::string::npos);
  EXPECT_NE(server.ReadLine().find("\"GET /creer.php6 HTTP/1.0\" 200"), std::string::npos);

  // The form's submission, as a browser sends it.
  const std::string token = FormToken(page);
  ASSERT_FALSE(token.empty()) << page;
  const std::string submit = CreationRequest("localhost:" + std::to_string(server.port()), token);
  std::string first = Exchange(server.port(), submit);
  std::string second = Exchange(server.port(), submit);
  EXPECT_EQ(Status(first), 200);
  EXPECT_NE(first.find("Votre identifiant unique"), std::string::npos);
  std::string id1 = CreatedIdentifier(first);
  std::string id2 = CreatedIdentifier(second);
  EXPECT_TRUE(std::regex_match(id1, std::regex("[a-z0-9]{10}"))) << id1;
  EXPECT_NE(id1, id2);
  EXPECT_NE(server.ReadLine().find("created " + id1), std::string::npos);
  EXPECT_NE(server.ReadLine().find("created " + id2), std::string::npos);

  EXPECT_TRUE(EndsWith(Exchange(server.port(), UpdateRequest(id1)), kMarker + "found"));
  EXPECT_TRUE(EndsWith(Exchange(server.port(), UpdateRequest(id2)), kMarker + "found"));
}

TEST_F(RefServerTest, IdentifiersAndLastAddressesSurviveARestart) {
  std::string created;
  {
    RefServer server(store_, {"--add-id", "seeded"});
    ASSERT_NE(server.port(), 0);
    created = CreatedIdentifier(Exchange(
        server.port(), CreationRequest(OwnHost(server.port()), FormToken(CreationPage(server.port())))));
    ASSERT_FALSE(created.empty());
    EXPECT_TRUE(EndsWith(Exchange(server.port(), UpdateRequest("seeded")), kMarker + "found"));
    EXPECT_EQ(server.Stop(), 0);
  }
  // The file is whole after each change: no temporary file is left beside it, only the lock.
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_TRUE(entry.path() == store_ || entry.path() == store_.string() + ".lock") << entry.path();
  }
  std::string saved = ReadFile(store_);
  EXPECT_NE(saved.find(created + "\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("seeded\t127.0.0.1\t"), std::string::npos) << saved;

  RefServer again(store_);
  ASSERT_NE(again.port(), 0);
  EXPECT_TRUE(EndsWith(Exchange(again.port(), UpdateRequest(created)), kMarker + "found"));
  EXPECT_TRUE(EndsWith(Exchange(again.port(), UpdateRequest("seeded")), kMarker + "found"));
  EXPECT_TRUE(EndsWith(Exchange(again.port(), UpdateRequest("other")), kMarker + "notfound"));
}

TEST_F(RefServerTest, AStoreThatCannotBeWrittenFailsCreationButStillAnswersUpdates) {
  const fs::path gone = dir_ / "gone";
  fs::create_directory(gone);
  RefServer server(gone / "ids.txt", {"--add-id", "demo"});
  ASSERT_NE(server.port(), 0);
  fs::remove_all(gone);

  // No identifier is handed out that would be lost on the next start.
  std::string token = FormToken(CreationPage(server.port()));
  server.ReadLine();
  std::string created = Exchange(server.port(), CreationRequest(OwnHost(server.port()), token));
  EXPECT_EQ(Status(created), 500);
  EXPECT_EQ(CreatedIdentifier(created), "");
  EXPECT_NE(server.ReadLine().find("500 creation failed"), std::string::npos);
  // The known identifier is still known; only its record is not kept, and the log says so.
  EXPECT_TRUE(EndsWith(Exchange(server.port(), UpdateRequest("demo")), kMarker + "found"));
  EXPECT_NE(server.ReadLine().find("200 found, NOT recorded"), std::string::npos);
}

TEST_F(RefServerTest, UnknownPagesAndMalformedRequestsAreRefused) {
  RefServer server(store_, {"--add-id", "demo"});
  ASSERT_NE(server.port(), 0);
  EXPECT_EQ(Status(Exchange(server.port(), "GET / HTTP/1.0\r\n\r\n")), 404);
  EXPECT_EQ(Status(Exchange(server.port(), "GET /update.php?ip_key=demo HTTP/1.0\r\n\r\n")), 404);
  EXPECT_EQ(Status(Exchange(server.port(), "POST /update?ip_key=demo HTTP/1.0\r\n\r\n")), 405);
  EXPECT_EQ(Status(Exchange(server.port(), "garbage\r\n\r\n")), 400);
  EXPECT_EQ(Status(Exchange(server.port(), "GET /update?ip_key=demo HTTP/9.9\r\n\r\n")), 400);
  EXPECT_EQ(Status(Exchange(server.port(), "GET update HTTP/1.0\r\n\r\n")), 400);
  EXPECT_EQ(Status(Exchange(server.port(), "GET / HTTP/1.0\r\nno colon here\r\n\r\n")), 400);
  EXPECT_EQ(Status(Exchange(server.port(), "GET / HTTP/1.0\r\nContent-Length: x\r\n\r\n")), 400);
  for (int i = 0; i < 8; ++i) server.ReadLine();
  // Control bytes in a request line reach the log escaped, never raw.
  EXPECT_EQ(Status(Exchange(server.port(), "GET /\x1b[2J HTTP/1.0\r\n\r\n")), 400);
  std::string line = server.ReadLine();
  EXPECT_NE(line.find("\"GET /\\x1B[2J HTTP/1.0\" 400"), std::string::npos) << line;
  EXPECT_EQ(line.find('\x1b'), std::string::npos);
  // After all that it still serves.
  EXPECT_TRUE(EndsWith(Exchange(server.port(), UpdateRequest("demo")), kMarker + "found"));
}

TEST_F(RefServerTest, OversizedOrUnfinishedRequestsNeitherHangNorStallIt) {
  RefServer server(store_, {"--add-id", "demo", "--read-timeout-ms", "300"});
  ASSERT_NE(server.port(), 0);

  // A client that starts a request and never finishes it...
  Connection stalled(server.port());
  ASSERT_TRUE(stalled.Send("GET /upd"));
  // ...does not keep others waiting,
  EXPECT_TRUE(EndsWith(Exchange(server.port(), UpdateRequest("demo")), kMarker + "found"));
  // and is answered 408 and closed once its time is up.
  EXPECT_EQ(Status(stalled.ReadToClose()), 408);

  // A head that never ends is cut off at its bound.
  EXPECT_EQ(Status(Exchange(server.port(), "GET /" + std::string(20000, 'a'))), 431);
  EXPECT_EQ(Status(Exchange(server.port(), "GET / HTTP/1.0\r\nX: " + std::string(9000, 'b') + "\r\n\r\n")),
            431);
  // A body larger than any form is refused without being read.
  EXPECT_EQ(Status(Exchange(server.port(), "POST /creer.php6 HTTP/1.0\r\nContent-Length: 999999\r\n\r\n")),
            413);
  // A body shorter than announced waits for the deadline, then 408.
  EXPECT_EQ(Status(Exchange(server.port(), "POST /creer.php6 HTTP/1.0\r\nContent-Length: 9\r\n\r\nnou")),
            408);
  // Many idle connections at once, more than it serves together, are all dealt with.
  {
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < 40; ++i) idle.push_back(std::make_unique<Connection>(server.port()));
    for (auto& c : idle) EXPECT_NE(c->ReadToClose(), "TIMEOUT");
  }
  EXPECT_TRUE(EndsWith(Exchange(server.port(), UpdateRequest("demo")), kMarker + "found"));
  // None of it created an identifier: the store holds "demo" alone.
  EXPECT_TRUE(std::regex_match(ReadFile(store_), std::regex("demo\t[^\n]*\n"))) << ReadFile(store_);
}

TEST_F(RefServerTest, SavesFollowNoPlantedLinkAndKeepTheStorePrivate) {
  // Another local user's link under a name the server might write through...
  const fs::path victim = dir_ / "victim";
  std::ofstream(victim) << "precious\n";
  fs::create_symlink(victim, store_.string() + ".tmp");
  {
    RefServer server(store_, {"--add-id", "first"});
    ASSERT_NE(server.port(), 0) << server.first();
    EXPECT_EQ(server.Stop(), 0);
  }
  // ...is left alone, and so is what it points to.
  EXPECT_EQ(ReadFile(victim), "precious\n");
  EXPECT_EQ(ReadFile(store_), "first\n");
  EXPECT_TRUE(S_ISREG(Stat(store_).st_mode));
  // A new store is readable by its owner alone; a mode the owner chose is kept.
  EXPECT_EQ(Stat(store_).st_mode & 0777, 0600u);
  fs::permissions(store_, fs::perms(0640));
  RefServer server(store_, {"--add-id", "second"});
  ASSERT_NE(server.port(), 0) << server.first();
  EXPECT_EQ(ReadFile(store_), "first\nsecond\n");
  EXPECT_EQ(Stat(store_).st_mode & 0777, 0640u);
}

TEST_F(RefServerTest, ASecondServerOnTheSameStoreRefusesToStart) {
  RefServer first(store_, {"--add-id", "demo"});
  ASSERT_NE(first.port(), 0);
  RefServer second(store_, {"--add-id", "other"});
  EXPECT_EQ(second.port(), 0);
  EXPECT_NE(second.first().find("in use by another refserver"), std::string::npos) << second.first();
  EXPECT_EQ(second.Wait(), 1);
  // The first still serves and its store is its own.
  EXPECT_TRUE(EndsWith(Exchange(first.port(), UpdateRequest("demo")), kMarker + "found"));
  EXPECT_EQ(ReadFile(store_).find("other"), std::string::npos);
  EXPECT_EQ(first.Stop(), 0);
  RefServer after(store_);
  EXPECT_NE(after.port(), 0) << after.first();
}

TEST_F(RefServerTest, OnlyTheServersOwnPageAtItsOwnAddressCreatesIdentifiers) {
  RefServer server(store_, {"--add-id", "demo"});
  ASSERT_NE(server.port(), 0);
  const std::string own = OwnHost(server.port());
  const std::string token = FormToken(CreationPage(server.port()));
  ASSERT_FALSE(token.empty());
  server.ReadLine();

  // A form posted by another site's page carries no token, or one it made up; a page
  // reached by DNS rebinding names its own host; HTTP/1.0 may name none.
  const std::vector<std::string> refused = {
      "POST /creer.php6 HTTP/1.1\r\nHost: " + own + "\r\nContent-Length: 9\r\n\r\nnouveau=1",
      CreationRequest(own, std::string(32, '0')),
      CreationRequest(own, token.substr(1)),
      CreationRequest("evil.example:" + std::to_string(server.port()), token),
      CreationRequest("", token),
      "GET /creer.php6 HTTP/1.1\r\nHost: evil.example\r\n\r\n",
  };
  for (const std::string& request : refused) {
    SCOPED_TRACE(request);
    std::string reply = Exchange(server.port(), request);
    EXPECT_EQ(Status(reply), 403);
    EXPECT_EQ(reply.find(token), std::string::npos);
    EXPECT_NE(server.ReadLine().find(" 403 creation refused: "), std::string::npos);
  }
  EXPECT_EQ(ReadFile(store_), "demo\n");
  // Its own page's form, at either of its names, creates.
  EXPECT_EQ(Status(Exchange(server.port(), CreationRequest(own, token))), 200);
  EXPECT_EQ(Status(Exchange(server.port(),
                            CreationRequest("LOCALHOST:" + std::to_string(server.port()), token))),
            200);
  // Behind a proxy, the name it forwards is allowed explicitly.
  RefServer proxied(dir_ / "proxied.txt", {"--allow-host", "ids.example.org"});
  ASSERT_NE(proxied.port(), 0);
  EXPECT_EQ(Status(Exchange(proxied.port(),
                            CreationRequest("ids.example.org", FormToken(CreationPage(proxied.port()))))),
            200);
}

TEST_F(RefServerTest, CreationsAreCappedPerPeerAddressAndByStoreSize) {
  RefServer server(store_, {"--add-id", "demo", "--max-creations-per-minute", "3", "--max-ids", "5"});
  ASSERT_NE(server.port(), 0);
  const std::string submit = CreationRequest(OwnHost(server.port()), FormToken(CreationPage(server.port())));
  server.ReadLine();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Status(Exchange(server.port(), submit)), 200) << i;
  for (int i = 0; i < 3; ++i) server.ReadLine();
  std::string reply = Exchange(server.port(), submit);
  EXPECT_EQ(Status(reply), 429);
  EXPECT_NE(reply.find("Réessayez dans une minute"), std::string::npos);
  EXPECT_NE(server.ReadLine().find(" 429 creation refused: too many from 127.0.0.1"), std::string::npos);
  // Another address still may, until the store is full.
  EXPECT_EQ(Status(Exchange(server.port(), submit, "127.0.0.2")), 200);
  EXPECT_EQ(Status(Exchange(server.port(), submit, "127.0.0.2")), 507);
  server.ReadLine();
  EXPECT_NE(server.ReadLine().find(" 507 creation refused: store full (5 identifiers)"), std::string::npos);
  std::string saved = ReadFile(store_);
  EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 5) << saved;
}

TEST_F(RefServerTest, IdleConnectionsDoNotKeepAnUpdateWaiting) {
  // Idle connections are not timed out for a minute: the update gets in beside them.
  RefServer server(store_, {"--add-id", "demo", "--read-timeout-ms", "60000"});
  ASSERT_NE(server.port(), 0);
  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 50; ++i) idle.push_back(std::make_unique<Connection>(server.port()));
  ASSERT_TRUE(idle.back()->Send("GET /upd"));  // one that has started a request
  EXPECT_TRUE(EndsWith(Exchange(server.port(), UpdateRequest("demo")), kMarker + "found"));
  // The oldest were closed to make room: one peer keeps a handful at most.
  int closed = 0;
  for (auto& c : idle) closed += c->ClosedByServer() ? 1 : 0;
  EXPECT_GE(closed, 42);
  EXPECT_FALSE(idle.back()->ClosedByServer());
  // Those part-way through a request go last, oldest first, and are told why. (An update
  // from elsewhere answered means the server has read what was sent before it.)
  std::vector<std::unique_ptr<Connection>> partial;
  for (int i = 0; i < 8; ++i) {
    partial.push_back(std::make_unique<Connection>(server.port(), "127.0.0.3"));
    ASSERT_TRUE(partial.back()->Send("GET /upd"));
  }
  EXPECT_TRUE(EndsWith(Exchange(server.port(), UpdateRequest("demo")), kMarker + "found"));
  Connection more(server.port(), "127.0.0.3");
  EXPECT_EQ(Status(partial.front()->ReadToClose()), 503);
  EXPECT_FALSE(partial[1]->ClosedByServer());
}

TEST_F(RefServerTest, RepeatedLengthOrHostHeadersAreRefused) {
  RefServer server(store_);
  ASSERT_NE(server.port(), 0);
  const std::string host = "Host: " + OwnHost(server.port()) + "\r\n";
  const std::string token = FormToken(CreationPage(server.port()));
  const std::string body = "nouveau=1&jeton=" + token;
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  for (const std::string& headers : {"Content-Length: 0\r\n" + length + host,
                                     length + length + host,
                                     length + host + "Host: evil.example\r\n"}) {
    SCOPED_TRACE(headers);
    EXPECT_EQ(Status(Exchange(server.port(), "POST /creer.php6 HTTP/1.1\r\n" + headers + "\r\n" + body)), 400);
  }
  EXPECT_FALSE(fs::exists(store_));
}

}  // namespace
