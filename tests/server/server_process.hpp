// What the process tests of quorvel-server share (server_*_test.cpp, one subject each): the
// program started as its own process on a free loopback port and spoken to over real sockets,
// its commands run to their end, and the requests the clients, a browser and hostile peers send.
#pragma once

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

namespace qserver_test {

namespace fs = std::filesystem;
inline const std::string kMarker = quorvel::ToAnsi(quorvelmod::kReplyMarker);

struct Ran {
  int status = -1;
  std::string output;  // standard output and error
};

// Runs the program to its end (add, remove, list, import).
inline Ran RunServer(std::vector<std::string> args) {
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

inline std::string LastLine(const std::string& text) {
  std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
  return trimmed.substr(trimmed.rfind('\n') + 1);
}

// `serve` as a child process, its standard output and error read line by line.
class Server {
 public:
  Server(const fs::path& store, std::vector<std::string> extra = {}, bool readOutput = true) {
    std::vector<std::string> args = {QUORVEL_SERVER_PATH, "serve",   "--listen",
                                     "127.0.0.1:0",       "--store", store.string()};
    if (!fs::exists(store)) args.push_back("--create");
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
      if (readOutput) second_ = ReadLine();  // the names and the DNS set-up, or a second listen
    }
  }
  ~Server() { Stop(); }

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& first() const { return first_; }
  const std::string& second() const { return second_; }
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

  // The next line that holds part, read past the others (request lines); "" when none comes.
  std::string LineWith(const std::string& part) {
    for (std::string line = ReadLine(); !line.empty(); line = ReadLine())
      if (line.find(part) != std::string::npos) return line;
    return "";
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
  std::string first_, second_;
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
  bool ClosedByServer() { return ClosedWithin(5000); }
  bool ClosedWithin(int milliseconds) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, milliseconds) <= 0) return false;
    char byte;
    return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

inline std::string Exchange(int port, const std::string& request, const char* source = nullptr) {
  Connection c(port, source);
  if (!c.Send(request)) return "SEND FAILED";
  return c.ReadToClose();
}

// The request exactly as the client builds it.
inline std::string UpdateRequest(const std::string& id) {
  return quorvel::ToAnsi(
      quorvelmod::BuildHttpRequest(L"127.0.0.1", L"?ip_key=" + quorvel::FromAnsi(id), L"/update", L"GET"));
}

inline std::string Word(int port, const std::string& id, const std::string& headers = "") {
  std::string request = UpdateRequest(id);
  request.insert(request.size() - 2, headers);
  const std::string reply = Exchange(port, request);
  const std::size_t marker = reply.rfind(kMarker);
  return marker == std::string::npos ? "NO MARKER: " + reply : reply.substr(marker + kMarker.size());
}

inline int Status(const std::string& reply) {
  std::smatch m;
  return std::regex_search(reply, m, std::regex(R"(^HTTP/1\.[01] (\d{3}) )")) ? std::stoi(m[1]) : 0;
}

inline std::string Body(const std::string& reply) {
  std::size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

inline std::string CreatedIdentifier(const std::string& reply) {
  std::smatch m;
  return std::regex_search(reply, m, std::regex(R"re(id="identifiant"[^>]*><strong>([^<]*)</strong>)re"))
             ? m[1].str()
             : "";
}

inline std::string OwnHost(int port) { return "127.0.0.1:" + std::to_string(port); }

inline std::string CreationPage(int port) {
  return Exchange(port, "GET /creer.php6 HTTP/1.0\r\nHost: " + OwnHost(port) + "\r\n\r\n");
}

inline std::string FormToken(const std::string& page) {
  std::smatch m;
  return std::regex_search(page, m, std::regex(R"re(name="jeton" value="([0-9a-f]{32})")re")) ? m[1].str()
                                                                                              : "";
}

// The form's submission as a browser sends it; an empty host leaves the Host header out.
inline std::string CreationRequest(const std::string& host, const std::string& token,
                                   const std::string& name = "maison") {
  const std::string body = "nom=" + name + "&nouveau=1&jeton=" + token;
  return "POST /creer.php6 HTTP/1.1\r\n" + (host.empty() ? "" : "Host: " + host + "\r\n") +
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

inline std::string DynDns(int port, const std::string& query, const std::string& credentials,
                          const std::string& headers = "", const char* source = nullptr) {
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
  return Exchange(port, "GET /nic/update?" + query + " HTTP/1.0\r\n" + auth + headers + "\r\n", source);
}

inline struct stat Stat(const fs::path& path) {
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
  // `list` as "label ipv4 ipv6 updated" lines: its header checked and taken off, and the
  // creation time (checked to be one) too.
  std::string List() {
    const Ran ran = RunServer({"list", "--store", store_.string()});
    const std::string header = "label ipv4 ipv6 created updated\n";
    EXPECT_EQ(ran.output.substr(0, header.size()), header) << ran.output;
    if (ran.output.rfind(header, 0) != 0) return ran.output;
    std::istringstream lines(ran.output.substr(header.size()));
    std::string line, rows;
    static const std::regex kRow(R"((\S+ \S+ \S+) \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ( \S+))");
    while (std::getline(lines, line)) {
      std::smatch m;
      EXPECT_TRUE(std::regex_match(line, m, kRow)) << line;
      rows += (m.empty() ? line : m[1].str() + m[2].str()) + "\n";
    }
    return rows;
  }
  // Ten updates of the name, each "found": all the flood rule allows it this minute.
  void TenUpdates(int port, const std::string& id) {
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(Word(port, id), "found") << i;
  }

  fs::path dir_;
  fs::path store_;
};

}  // namespace qserver_test
