// quorvel-server as the clients, a browser and hostile peers meet it, without DNS: started
// as its own process on a free loopback port, spoken to over real sockets; and its commands.
#include <arpa/inet.h>
#include <fcntl.h>
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
const std::string kMarker = quorvel::ToAnsi(quorvelmod::kReplyMarker);

struct Ran {
  int status = -1;
  std::string output;  // standard output and error
};

// Runs the program to its end (add, remove, list, import).
Ran RunServer(std::vector<std::string> args) {
  args.insert(args.begin(), QUORVEL_SERVER_PATH);
  std::string command;
  for (const std::string& a : args) command += "'" + a + "' ";
  command += "2>&1";
  Ran ran;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) ran.output.append(buffer, n);
  int status = ::pclose(pipe);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ran;
}

std::string LastLine(const std::string& text) {
  std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
  return trimmed.substr(trimmed.rfind('\n') + 1);
}

// `serve` as a child process, its standard output and error read line by line.
class Server {
 public:
  Server(const fs::path& store, std::vector<std::string> extra = {}, bool readOutput = true) {
    std::vector<std::string> args = {QUORVEL_SERVER_PATH, "serve",   "--listen",
                                     "127.0.0.1:0",       "--store", store.string()};
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
    if (std::regex_search(first_, m, std::regex(R"(^listening on http://127\.0\.0\.1:(\d+)/$)"))) {
      port_ = std::stoi(m[1]);
      if (readOutput) ReadLine();  // the names and the DNS set-up
    }
  }
  ~Server() { Stop(); }

  int port() const { return port_; }
  const std::string& first() const { return first_; }
  int fd() const { return out_; }

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
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (out_ < 0 || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
      char buffer[4096];
      ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n <= 0) return "";
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // Stops it as the service manager does (SIGTERM) and returns its exit status.
  int Stop() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    return Wait();
  }

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

// A loopback connection with a 10-second limit on every wait, so a server that hangs fails
// the test instead of stalling it. It comes from 127.0.0.1 unless another source is given.
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

  // Whether the server has closed it, waiting at most five seconds (a loaded machine is slow).
  bool ClosedByServer() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    char byte;
    return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
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
  return quorvel::ToAnsi(
      quorvelmod::BuildHttpRequest(L"127.0.0.1", L"?ip_key=" + quorvel::FromAnsi(id), L"/update", L"GET"));
}

std::string Word(int port, const std::string& id, const std::string& headers = "") {
  std::string request = UpdateRequest(id);
  request.insert(request.size() - 2, headers);
  const std::string reply = Exchange(port, request);
  const std::size_t marker = reply.rfind(kMarker);
  return marker == std::string::npos ? "NO MARKER: " + reply : reply.substr(marker + kMarker.size());
}

int Status(const std::string& reply) {
  std::smatch m;
  return std::regex_search(reply, m, std::regex(R"(^HTTP/1\.[01] (\d{3}) )")) ? std::stoi(m[1]) : 0;
}

std::string Body(const std::string& reply) {
  std::size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string CreatedIdentifier(const std::string& reply) {
  std::smatch m;
  return std::regex_search(reply, m, std::regex(R"re(id="identifiant"[^>]*><strong>([^<]*)</strong>)re"))
             ? m[1].str()
             : "";
}

std::string OwnHost(int port) { return "127.0.0.1:" + std::to_string(port); }

std::string CreationPage(int port) {
  return Exchange(port, "GET /creer.php6 HTTP/1.0\r\nHost: " + OwnHost(port) + "\r\n\r\n");
}

std::string FormToken(const std::string& page) {
  std::smatch m;
  return std::regex_search(page, m, std::regex(R"re(name="jeton" value="([0-9a-f]{32})")re")) ? m[1].str()
                                                                                              : "";
}

// The form's submission as a browser sends it; an empty host leaves the Host header out.
std::string CreationRequest(const std::string& host, const std::string& token,
                            const std::string& name = "maison") {
  const std::string body = "nom=" + name + "&nouveau=1&jeton=" + token;
  return "POST /creer.php6 HTTP/1.1\r\n" + (host.empty() ? "" : "Host: " + host + "\r\n") +
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

std::string DynDns(int port, const std::string& query, const std::string& credentials) {
  std::string auth;
  if (!credentials.empty()) {
    static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string in = credentials, out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
      unsigned v = static_cast<unsigned char>(in[i]) << 16;
      if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
      if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
      out += kB64[(v >> 18) & 63];
      out += kB64[(v >> 12) & 63];
      out += i + 1 < in.size() ? kB64[(v >> 6) & 63] : '=';
      out += i + 2 < in.size() ? kB64[v & 63] : '=';
    }
    auth = "Authorization: Basic " + out + "\r\n";
  }
  return Exchange(port, "GET /nic/update?" + query + " HTTP/1.0\r\n" + auth + "\r\n");
}

struct stat Stat(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvel-server-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    store_ = dir_ / "store.db";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // `add LABEL` on the test's store: the identifier it printed.
  std::string Add(const std::string& label) {
    Ran ran = RunServer({"add", label, "--store", store_.string()});
    EXPECT_EQ(ran.status, 0) << ran.output;
    return LastLine(ran.output);
  }
  std::string List() { return RunServer({"list", "--store", store_.string()}).output; }

  fs::path dir_;
  fs::path store_;
};

TEST_F(ServerTest, CommandsAddListRemoveAndImportAsAPersonUsesThem) {
  const std::string id = Add("maison");
  // Easy to read out: no 0 O 1 l I, one case.
  EXPECT_TRUE(std::regex_match(id, std::regex("[2-9A-HJ-NP-Z]{27}"))) << id;
  EXPECT_NE(Add("bureau"), id);
  // A taken or invalid label fails with a message and a non-zero status.
  for (const std::string& bad :
       std::vector<std::string>{"maison", "Maison", "-a", "a-", "a.b", "", std::string(64, 'a')}) {
    SCOPED_TRACE(bad);
    Ran ran = RunServer({"add", bad, "--store", store_.string()});
    EXPECT_NE(ran.status, 0);
    EXPECT_FALSE(ran.output.empty());
  }
  EXPECT_EQ(RunServer({"add", std::string(63, 'a'), "--store", store_.string()}).status, 0);
  EXPECT_EQ(List(), std::string(63, 'a') + " - - -\nbureau - - -\nmaison - - -\n");
  // The store keeps no identifier in clear.
  std::ifstream in(store_, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(Contains(bytes, id));
  Ran removed = RunServer({"remove", "bureau", "--store", store_.string()});
  EXPECT_EQ(removed.status, 0) << removed.output;
  EXPECT_NE(RunServer({"remove", "bureau", "--store", store_.string()}).status, 0);
  EXPECT_FALSE(Contains(List(), "bureau"));

  // A refserver store: identifiers kept as they are, each with a name, its address kept.
  std::ofstream(dir_ / "ids.txt") << "demo\t127.0.0.1\t2026-12-09T00:31:29Z\nAbc_-1\nmaison\n\xff bad\n";
  Ran imported = RunServer({"import", (dir_ / "ids.txt").string(), "--store", store_.string()});
  EXPECT_EQ(imported.status, 0) << imported.output;
  EXPECT_TRUE(Contains(imported.output, "imported 3 name(s)")) << imported.output;
  const std::string list = List();
  // Names never come from the identifiers: they would be public in DNS.
  EXPECT_TRUE(
      Contains(list, "imported-1 127.0.0.1 - 2026-12-09T00:31:29Z\nimported-2 - - -\nimported-3 - - -\n"))
      << list;
  EXPECT_FALSE(Contains(list, "abc_-1")) << list;
  Server server(store_);
  ASSERT_NE(server.port(), 0) << server.first();
  EXPECT_EQ(Word(server.port(), "demo"), "found");
  EXPECT_EQ(Word(server.port(), "Abc_-1"), "found");
  EXPECT_EQ(Word(server.port(), id), "found");
  // A name added while the server runs is served at once, one removed is not.
  const std::string later = Add("plus-tard");
  EXPECT_EQ(Word(server.port(), later), "found");
  EXPECT_EQ(RunServer({"remove", "plus-tard", "--store", store_.string()}).status, 0);
  ::usleep(1100 * 1000);
  EXPECT_EQ(Word(server.port(), later), "notfound");

  // Options from a file; the command line wins.
  std::ofstream(dir_ / "server.conf")
      << "# comment\nstore = " << (dir_ / "other.db").string() << "\nttl = 30\n";
  EXPECT_EQ(RunServer({"add", "x", "--config", (dir_ / "server.conf").string()}).status, 0);
  EXPECT_TRUE(Contains(RunServer({"list", "--config", (dir_ / "server.conf").string()}).output, "x - - -"));
  EXPECT_TRUE(Contains(
      RunServer({"list", "--config", (dir_ / "server.conf").string(), "--store", store_.string()}).output,
      "maison"));
  std::ofstream(dir_ / "bad.conf") << "nonsense = 1\n";
  EXPECT_EQ(RunServer({"list", "--config", (dir_ / "bad.conf").string()}).status, 2);
  EXPECT_EQ(RunServer({"serve", "--listen", "127.0.0.1"}).status, 2);
  EXPECT_EQ(RunServer({"serve", "--zone", "example.org"}).status, 2);  // no server or key
}

TEST_F(ServerTest, UpdateRepliesEndInTheMarkerAndTheWordTheClientReads) {
  const std::string id = Add("maison");
  Server server(store_);
  ASSERT_NE(server.port(), 0) << server.first();
  std::string lower = id;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return std::tolower(c); });
  struct Case {
    std::string id;
    std::string word;
  };
  const std::vector<Case> cases = {
      {id, "found"},
      {lower == id ? id + "x" : lower, "notfound"},  // identifiers are case-sensitive
      {"unknown", "notfound"},
      {"", "incorrect"},
      {std::string(33, 'a'), "incorrect"},  // longer than 32
      {"a b", "incorrect"},                 // a typed space arrives unescaped
      {"caf\xE9", "incorrect"},             // non-ASCII byte from the ANSI code page
      {"a%41", "incorrect"},                // no escaping is undone
      {id + "&x=1", "incorrect"},           // a second parameter is part of the identifier
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("identifier \"" + c.id + "\"");
    std::string reply = Exchange(server.port(), UpdateRequest(c.id));
    EXPECT_EQ(Status(reply), 200);
    EXPECT_TRUE(EndsWith(Body(reply), kMarker + c.word)) << reply;
    EXPECT_EQ(quorvelmod::ParseServerReply(quorvel::FromAnsi(reply)), quorvel::FromAnsi(c.word));
    std::string line = server.ReadLine();
    EXPECT_TRUE(Contains(line, " 127.0.0.1:")) << line;
    EXPECT_TRUE(Contains(line, " 200 " + c.word)) << line;
    // The log is no place for a credential: four characters of it at most.
    if (c.id.size() > 4) {
      EXPECT_FALSE(Contains(line, c.id.substr(0, 5))) << line;
    }
    if (c.word == "found") {
      EXPECT_TRUE(Contains(line, "\"GET /update?ip_key=" + id.substr(0, 4) + "*** HTTP/1.0\"")) << line;
      EXPECT_TRUE(Contains(line, "found, recorded 127.0.0.1 for maison")) << line;
    }
  }
  EXPECT_TRUE(
      std::regex_match(List(), std::regex(R"(maison 127\.0\.0\.1 - \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\n)")))
      << List();
  // Another from the same address is answered without a write to the store.
  const auto before = fs::file_size(store_.string() + "-wal");
  const auto modified = fs::last_write_time(store_.string() + "-wal");
  EXPECT_EQ(Word(server.port(), id), "found");
  EXPECT_TRUE(Contains(server.ReadLine(), "200 found, unchanged 127.0.0.1 for maison"));
  EXPECT_EQ(fs::file_size(store_.string() + "-wal"), before);
  EXPECT_EQ(fs::last_write_time(store_.string() + "-wal"), modified);
  // Metrics, to a loopback peer: by outcome.
  const std::string metrics = Exchange(server.port(), "GET /metrics HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(Contains(metrics, "quorvel_updates_total{protocol=\"update\",outcome=\"found\"} 1\n"))
      << metrics;
  EXPECT_TRUE(
      Contains(metrics, "quorvel_updates_total{protocol=\"update\",outcome=\"found_unchanged\"} 1\n"));
  EXPECT_TRUE(Contains(metrics, "quorvel_updates_total{protocol=\"update\",outcome=\"incorrect\"} 6\n"));
  EXPECT_TRUE(Contains(metrics, "quorvel_request_duration_seconds_count 10\n")) << metrics;
}

TEST_F(ServerTest, FloodXForwardedForAndDynDns2) {
  const std::string id = Add("maison");
  const std::string other = Add("bureau");
  Server server(store_, {"--trusted-proxy", "127.0.0.2"});
  ASSERT_NE(server.port(), 0) << server.first();
  // X-Forwarded-For from a peer that is not a trusted proxy is ignored...
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 192.0.2.1\r\n"), "found");
  EXPECT_TRUE(Contains(server.ReadLine(), "recorded 127.0.0.1 for maison"));
  // ...from the trusted one, its last entry is the address, IPv6 to its own record.
  auto viaProxy = [&](const std::string& forwarded) {
    std::string request = UpdateRequest(other);
    request.insert(request.size() - 2, "X-Forwarded-For: " + forwarded + "\r\n");
    return Exchange(server.port(), request, "127.0.0.2");
  };
  EXPECT_TRUE(EndsWith(viaProxy("10.0.0.1, 198.51.100.7"), kMarker + "found"));
  EXPECT_TRUE(Contains(server.ReadLine(), "recorded 198.51.100.7 for bureau"));
  EXPECT_TRUE(EndsWith(viaProxy("::ffff:198.51.100.8"), kMarker + "found"));  // IPv4-mapped is IPv4
  EXPECT_TRUE(Contains(server.ReadLine(), "recorded 198.51.100.8 for bureau"));
  EXPECT_TRUE(EndsWith(viaProxy("2001:DB8::7"), kMarker + "found"));
  EXPECT_TRUE(Contains(server.ReadLine(), "recorded 2001:db8::7 for bureau"));
  EXPECT_TRUE(Contains(List(), "bureau 198.51.100.8 2001:db8::7 "));

  // Ten updates of one name a minute; the eleventh is denied and writes nothing.
  for (int i = 2; i <= 10; ++i) EXPECT_EQ(Word(server.port(), id), "found") << i;
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 192.0.2.9\r\n"), "denied");
  for (int i = 0; i < 9; ++i) server.ReadLine();
  EXPECT_TRUE(Contains(server.ReadLine(), "200 denied, more than 10 updates of maison within a minute"));
  EXPECT_TRUE(Contains(List(), "maison 127.0.0.1 - "));

  // dyndns2: the label or the full name as user, the identifier as password.
  const int p = server.port();
  EXPECT_EQ(Status(DynDns(p, "hostname=bureau.example", "")), 401);
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example", "")), "badauth\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example", "bureau:" + id)), "badauth\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example", "maison:" + other)), "badauth\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau", "bureau:" + other)), "notfqdn\n");
  EXPECT_EQ(Body(DynDns(p, "myip=192.0.2.1", "bureau:" + other)), "notfqdn\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=192.0.2.5", "bureau:" + other)), "good 192.0.2.5\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=192.0.2.5", "bureau:" + other)),
            "nochg 192.0.2.5\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=192.0.2.6%2C2001:db8::8", "bureau:" + other)),
            "good 192.0.2.6,2001:db8::8\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=nonsense", "bureau:" + other)), "good 127.0.0.1\n");
  EXPECT_TRUE(Contains(List(), "bureau 127.0.0.1 2001:db8::8 "));
  EXPECT_EQ(Body(DynDns(p, "hostname=maison.example", "maison:" + id)), "abuse\n");
  // The flood holds one name only.
  EXPECT_EQ(Word(server.port(), other), "found");
}

TEST_F(ServerTest, AStoreThatCannotBeWrittenIsNeverReportedAsDone) {
  const std::string id = Add("maison");
  Server server(store_, {"--trusted-proxy", "127.0.0.1"});
  ASSERT_NE(server.port(), 0);
  // Another process holds the store's write lock for longer than a request waits.
  const std::string hold =
      "python3 -c \"import sqlite3,time; c=sqlite3.connect('" + store_.string() +
      "', isolation_level=None); c.execute('BEGIN EXCLUSIVE'); print('locked', flush=True); "
      "time.sleep(3)\"";
  FILE* holder = ::popen(hold.c_str(), "r");
  char ready[16] = "";
  ASSERT_NE(std::fgets(ready, sizeof ready, holder), nullptr);
  // The client is told to try again, not that it is done; dyndns2 clients get 911.
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 192.0.2.1\r\n"), "denied");
  EXPECT_TRUE(Contains(server.ReadLine(), "200 store_error, denied: NOT recorded"));
  EXPECT_EQ(Body(DynDns(server.port(), "hostname=maison.x&myip=192.0.2.2", "maison:" + id)), "911\n");
  ::pclose(holder);
  // Once it is free again, the same update is recorded.
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 192.0.2.1\r\n"), "found");
  EXPECT_TRUE(Contains(List(), "maison 192.0.2.1 - "));
}

TEST_F(ServerTest, ZoneNamesTheHostsDynDns2Takes) {
  const std::string id = Add("maison");
  // A key and a primary that does not answer: updates are still answered at once.
  std::ofstream(dir_ / "k.key")
      << "key \"k\" {\n\talgorithm hmac-sha256;\n\tsecret \"c2VjcmV0c2VjcmV0c2VjcmV0\";\n};\n";
  Server server(store_, {"--zone", "Dyn.Example.ORG.", "--dns-server", "127.0.0.1:9", "--tsig-key",
                         (dir_ / "k.key").string()});
  ASSERT_NE(server.port(), 0) << server.first();
  const int p = server.port();
  EXPECT_EQ(Body(DynDns(p, "hostname=maison.other.org", "maison:" + id)), "nohost\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=maison.dyn.example.org", "maison.dyn.example.org:" + id)),
            "good 127.0.0.1\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=MAISON.dyn.example.org.", "maison:" + id)), "nochg 127.0.0.1\n");
  // The creation page names the full name.
  const std::string page = Exchange(p, CreationRequest(OwnHost(p), FormToken(CreationPage(p)), "garage"));
  EXPECT_TRUE(Contains(page, "garage.dyn.example.org")) << page;
}

TEST_F(ServerTest, CreationPageCreatesIdentifiersThatUpdatesThenFind) {
  Server server(store_);
  ASSERT_NE(server.port(), 0) << server.first();
  std::string page = CreationPage(server.port());
  EXPECT_EQ(Status(page), 200);
  EXPECT_TRUE(Contains(page, "Content-Type: text/html; charset=utf-8"));
  EXPECT_TRUE(Contains(page, "Créer un identifiant unique"));
  EXPECT_TRUE(Contains(page, "<form method=\"post\" action=\"/creer.php6\">"));
  EXPECT_TRUE(Contains(page, "name=\"nom\""));
  EXPECT_TRUE(Contains(server.ReadLine(), "\"GET /creer.php6 HTTP/1.0\" 200 creation page"));

  const std::string token = FormToken(page);
  ASSERT_FALSE(token.empty()) << page;
  std::string first =
      Exchange(server.port(), CreationRequest("localhost:" + std::to_string(server.port()), token, "maison"));
  EXPECT_EQ(Status(first), 200);
  EXPECT_TRUE(Contains(first, "Votre identifiant unique"));
  EXPECT_TRUE(Contains(first, "Cet identifiant est un secret"));
  EXPECT_TRUE(Contains(first, "<strong id=\"nom-complet\">maison</strong>"));
  const std::string id1 = CreatedIdentifier(first);
  EXPECT_TRUE(std::regex_match(id1, std::regex("[2-9A-HJ-NP-Z]{27}"))) << id1;
  std::string line = server.ReadLine();
  EXPECT_TRUE(Contains(line, "200 created maison")) << line;
  EXPECT_FALSE(Contains(line, id1));
  // A taken name, an invalid one.
  EXPECT_EQ(Status(Exchange(server.port(), CreationRequest(OwnHost(server.port()), token, "maison"))), 409);
  EXPECT_TRUE(Contains(server.ReadLine(), "409 creation refused: name maison taken"));
  EXPECT_EQ(Status(Exchange(server.port(), CreationRequest(OwnHost(server.port()), token, "a_b"))), 400);
  server.ReadLine();
  const std::string id2 =
      CreatedIdentifier(Exchange(server.port(), CreationRequest(OwnHost(server.port()), token, "Bureau")));
  EXPECT_NE(id1, id2);
  EXPECT_EQ(Word(server.port(), id1), "found");
  EXPECT_EQ(Word(server.port(), id2), "found");
  EXPECT_TRUE(Contains(List(), "bureau 127.0.0.1 - "));
}

TEST_F(ServerTest, NamesAndAddressesSurviveARestartAndTheStoreIsPrivate) {
  const std::string id = Add("maison");
  EXPECT_EQ(Stat(store_).st_mode & 0777, 0600u);
  {
    Server server(store_);
    ASSERT_NE(server.port(), 0);
    EXPECT_EQ(Word(server.port(), id), "found");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  }
  for (const auto& entry : fs::directory_iterator(dir_)) {
    SCOPED_TRACE(entry.path());
    EXPECT_EQ(Stat(entry.path()).st_mode & 0077, 0u);  // the journals too
  }
  Server again(store_);
  ASSERT_NE(again.port(), 0);
  EXPECT_EQ(Word(again.port(), id), "found");
  EXPECT_TRUE(Contains(again.ReadLine(), "found, unchanged 127.0.0.1"));
  again.Stop();
  // A mode the owner chose is kept.
  fs::permissions(store_, fs::perms(0640));
  EXPECT_EQ(RunServer({"add", "bureau", "--store", store_.string()}).status, 0);
  EXPECT_EQ(Stat(store_).st_mode & 0777, 0640u);
  // A link planted under the store's name is refused, not followed.
  const fs::path victim = dir_ / "victim";
  std::ofstream(victim) << "precious\n";
  fs::create_symlink(victim, dir_ / "linked.db");
  Ran ran = RunServer({"list", "--store", (dir_ / "linked.db").string()});
  EXPECT_EQ(ran.status, 1) << ran.output;
  std::ifstream in(victim);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "precious\n");
}

TEST_F(ServerTest, ASecondServerOnTheSameStoreRefusesToStart) {
  const std::string id = Add("maison");
  Server first(store_);
  ASSERT_NE(first.port(), 0);
  Server second(store_);
  EXPECT_EQ(second.port(), 0);
  EXPECT_TRUE(Contains(second.first(), "in use by another quorvel-server")) << second.first();
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_EQ(Word(first.port(), id), "found");
  EXPECT_EQ(first.Stop(), 0);
  Server after(store_);
  EXPECT_NE(after.port(), 0) << after.first();
}

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
  // A body larger than any form is refused.
  EXPECT_EQ(Status(Exchange(p, "POST /creer.php6 HTTP/1.0\r\nHost: " + OwnHost(p) +
                                   "\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'x'))),
            413);
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
  Server server(store_, {"--max-per-peer", "8", "--read-timeout", "2"});
  ASSERT_NE(server.port(), 0);
  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 8; ++i)
    idle.push_back(std::make_unique<Connection>(server.port(), i % 2 ? "127.0.0.3" : nullptr));
  ::usleep(300 * 1000);  // all eight accepted
  // A ninth from loopback, whatever its address, is refused; an update gets in once the
  // peer's own connections have timed out.
  Connection refused(server.port(), "127.0.0.4");
  EXPECT_TRUE(refused.ClosedByServer());
  for (auto& c : idle) EXPECT_NE(c->ReadToClose(), "TIMEOUT");  // timed out
  // The server counts a connection gone when the HTTP library reports it closed, a moment
  // after the client has seen the close.
  std::string word;
  for (int attempt = 0; attempt < 20 && (word = Word(server.port(), id)) != "found"; ++attempt)
    ::usleep(50 * 1000);
  EXPECT_EQ(word, "found");
}

TEST_F(ServerTest, OnlyTheServersOwnPageAtItsOwnAddressCreatesIdentifiers) {
  Server server(store_);
  ASSERT_NE(server.port(), 0);
  const std::string own = OwnHost(server.port());
  const std::string token = FormToken(CreationPage(server.port()));
  ASSERT_FALSE(token.empty());
  server.ReadLine();
  // A form posted by another site's page carries no token, or one it made up; a page
  // reached by DNS rebinding names its own host; HTTP/1.0 may name none.
  const std::vector<std::string> refused = {
      "POST /creer.php6 HTTP/1.1\r\nHost: " + own + "\r\nContent-Length: 9\r\n\r\nnom=truc1",
      CreationRequest(own, std::string(32, '0')),
      CreationRequest(own, token.substr(1)),
      CreationRequest("evil.example:" + std::to_string(server.port()), token),
      "POST /creer.php6 HTTP/1.0\r\nContent-Length: 9\r\n\r\nnom=truc1",
      "GET /creer.php6 HTTP/1.1\r\nHost: evil.example\r\n\r\n",
  };
  for (const std::string& request : refused) {
    SCOPED_TRACE(request);
    std::string reply = Exchange(server.port(), request);
    EXPECT_EQ(Status(reply), 403);
    EXPECT_FALSE(Contains(reply, token));
    EXPECT_TRUE(Contains(server.ReadLine(), " 403 creation refused: "));
  }
  EXPECT_EQ(List(), "");
  EXPECT_EQ(Status(Exchange(server.port(), CreationRequest(own, token, "a1"))), 200);
  EXPECT_EQ(Status(Exchange(server.port(),
                            CreationRequest("LOCALHOST:" + std::to_string(server.port()), token, "a2"))),
            200);
  // Behind a proxy, the name it forwards is allowed explicitly.
  Server proxied(dir_ / "proxied.db", {"--allow-host", "ids.example.org"});
  ASSERT_NE(proxied.port(), 0);
  EXPECT_EQ(Status(Exchange(proxied.port(),
                            CreationRequest("ids.example.org", FormToken(CreationPage(proxied.port()))))),
            200);
}

TEST_F(ServerTest, CreationsAreCappedPerPeerAndByStoreSize) {
  Server server(store_, {"--max-creations-per-minute", "3"});
  ASSERT_NE(server.port(), 0);
  const std::string own = OwnHost(server.port());
  const std::string token = FormToken(CreationPage(server.port()));
  server.ReadLine();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Status(Exchange(server.port(),
                              CreationRequest(own, token, std::string(1, 'n').append(std::to_string(i))))),
              200);
  for (int i = 0; i < 3; ++i) server.ReadLine();
  std::string reply = Exchange(server.port(), CreationRequest(own, token, "n9"));
  EXPECT_EQ(Status(reply), 429);
  EXPECT_TRUE(Contains(reply, "Réessayez dans une minute"));
  EXPECT_TRUE(Contains(server.ReadLine(), " 429 creation refused: too many from 127.0.0.1"));
  // Every loopback address is the same peer.
  EXPECT_EQ(Status(Exchange(server.port(), CreationRequest(own, token, "n8"), "127.0.0.2")), 429);
  server.Stop();
  Server full(store_, {"--max-names", "4"});
  EXPECT_EQ(Status(Exchange(full.port(), CreationRequest(OwnHost(full.port()),
                                                         FormToken(CreationPage(full.port())), "n4"))),
            200);
  full.ReadLine();
  full.ReadLine();
  EXPECT_EQ(Status(Exchange(full.port(), CreationRequest(OwnHost(full.port()),
                                                         FormToken(CreationPage(full.port())), "n5"))),
            507);
  full.ReadLine();
  EXPECT_TRUE(Contains(full.ReadLine(), " 507 creation refused: store full (4 names)"));
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
  Server server(store_, {"--threads", "2"}, false);
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
