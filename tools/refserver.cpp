// The reference update server: a small HTTP/1.0 server on 127.0.0.1 for the demo and the
// tests. It answers the client's update request with the marker and a status word, serves
// the identifier creation page, keeps its identifiers in a small file and prints one line
// per request. Several connections are served at once from one poll loop, each with a
// bounded size and a deadline, so a slow or hostile client cannot stall it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/http_exchange.hpp"
#include "tools/id_store.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kMaxClients = 32;
constexpr milliseconds kWriteTime{5000};
// After the reply the server reads and discards what the client still sends, for a while,
// so that closing does not reset the connection before the client has read the reply.
constexpr milliseconds kLingerTime{1000};
constexpr std::size_t kMaxDiscarded = 64 * 1024;

volatile sig_atomic_t stopRequested = 0;
void OnStopSignal(int) { stopRequested = 1; }

struct Options {
  int port = 0;
  std::string store = "refserver-ids.txt";
  std::vector<std::string> addIds;
  milliseconds readTime{5000};
};

void Usage(FILE* out) {
  std::fputs(
      "usage: refserver [--port N] [--store FILE] [--add-id ID]... [--read-timeout-ms N]\n"
      "  --port N            TCP port on 127.0.0.1 (0, the default: any free port)\n"
      "  --store FILE        identifier file (default refserver-ids.txt)\n"
      "  --add-id ID         registers ID before serving (repeatable)\n"
      "  --read-timeout-ms N time a client has to send its request (default 5000)\n"
      "The first line printed is \"listening on http://127.0.0.1:PORT/\".\n",
      out);
}

bool ParseNumber(const char* text, long min, long max, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value >= min && value <= max;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    long number = 0;
    if (arg == "--port" && ParseNumber(value, 0, 65535, number)) {
      options.port = static_cast<int>(number);
    } else if (arg == "--store" && *value) {
      options.store = value;
    } else if (arg == "--add-id") {
      if (!refserver::IsSafeIdentifier(value)) {
        std::fprintf(stderr, "refserver: \"%s\" is not a valid identifier "
                             "(1 to 32 of A-Z a-z 0-9 - _)\n", value);
        return false;
      }
      options.addIds.push_back(value);
    } else if (arg == "--read-timeout-ms" && ParseNumber(value, 1, 600000, number)) {
      options.readTime = milliseconds(number);
    } else {
      return false;
    }
  }
  return true;
}

enum class Phase { kReading, kWriting, kLingering };

struct Client {
  int fd = -1;
  std::string peerAddress;  // "127.0.0.1"
  std::string peer;         // "127.0.0.1:54321"
  Phase phase = Phase::kReading;
  Clock::time_point deadline;
  std::string received;
  bool haveHead = false;
  refserver::RequestHead head;
  std::size_t headLength = 0;
  std::string output;
  std::size_t sent = 0;
  std::size_t discarded = 0;
};

// One line per request: time, peer, request line, status and outcome.
void PrintLine(const Client& client, const std::string& requestLine, const refserver::Reply& reply) {
  std::printf("%s %s \"%s\" %d %s\n", refserver::UtcNow().c_str(), client.peer.c_str(),
              requestLine.empty() ? "-" : refserver::PrintableRequestLine(requestLine).c_str(),
              reply.status, reply.outcome.c_str());
  std::fflush(stdout);
}

void StartReply(Client& client, const std::string& requestLine, const refserver::Reply& reply) {
  PrintLine(client, requestLine, reply);
  client.output = refserver::Serialize(reply);
  client.sent = 0;
  client.received.clear();
  client.received.shrink_to_fit();
  client.phase = Phase::kWriting;
  client.deadline = Clock::now() + kWriteTime;
}

// The first line of what was received, for the log of a request that did not parse.
std::string FirstLine(const std::string& received) {
  return received.substr(0, std::min(received.find_first_of("\r\n"), std::size_t{200}));
}

// Feeds what has arrived to the parser; starts the reply once there is a whole request.
void OnReceived(Client& client, refserver::IdStore& store) {
  if (!client.haveHead) {
    switch (refserver::ParseHead(client.received, client.head, client.headLength)) {
      case refserver::HeadStatus::kIncomplete:
        return;
      case refserver::HeadStatus::kTooLarge:
        StartReply(client, FirstLine(client.received), refserver::ErrorReply(431, "request too large"));
        return;
      case refserver::HeadStatus::kMalformed:
        StartReply(client, FirstLine(client.received), refserver::ErrorReply(400, "malformed request"));
        return;
      case refserver::HeadStatus::kComplete:
        client.haveHead = true;
        break;
    }
  }
  const std::string& line = client.head.requestLine;
  if (client.head.contentLength > refserver::kMaxBodyBytes) {
    StartReply(client, line, refserver::ErrorReply(413, "body too large"));
    return;
  }
  if (client.received.size() < client.headLength + client.head.contentLength) return;
  StartReply(client, line,
             refserver::Answer(client.head, client.peerAddress, refserver::UtcNow(), store));
}

// The client has stopped sending before its request was whole.
void OnEndOfInput(Client& client) {
  if (client.received.empty()) return;  // connected and left: nothing to answer
  StartReply(client, FirstLine(client.received), refserver::ErrorReply(400, "incomplete request"));
}

void OnDeadline(Client& client) {
  if (client.phase == Phase::kReading) {
    StartReply(client, FirstLine(client.received), refserver::ErrorReply(408, "timed out"));
  }
}

// Reads what is there. Returns false when the connection is finished with.
bool ReadFrom(Client& client, refserver::IdStore& store) {
  char buffer[4096];
  ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (client.phase == Phase::kLingering) {
    client.discarded += static_cast<std::size_t>(n);
    return n > 0 && client.discarded <= kMaxDiscarded;
  }
  if (n == 0) {
    if (client.received.empty()) return false;
    OnEndOfInput(client);
    return true;
  }
  client.received.append(buffer, static_cast<std::size_t>(n));
  OnReceived(client, store);
  return true;
}

// Sends what fits. Returns false when the connection is finished with.
bool WriteTo(Client& client) {
  ssize_t n = ::send(client.fd, client.output.data() + client.sent,
                     client.output.size() - client.sent, MSG_NOSIGNAL);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  client.sent += static_cast<std::size_t>(n);
  if (client.sent < client.output.size()) return true;
  // HTTP/1.0: the end of the connection marks the end of the reply.
  ::shutdown(client.fd, SHUT_WR);
  client.phase = Phase::kLingering;
  client.deadline = Clock::now() + kLingerTime;
  return true;
}

int OpenListener(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void AcceptAll(int listener, std::vector<Client>& clients, milliseconds readTime) {
  while (clients.size() < kMaxClients) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    Client client;
    client.fd = fd;
    client.peerAddress = text;
    client.peer = client.peerAddress + ":" + std::to_string(ntohs(address.sin_port));
    client.deadline = Clock::now() + readTime;
    clients.push_back(std::move(client));
  }
}

// The stop signals are blocked except while waiting in ppoll, so one that comes between the
// check of stopRequested and the wait cannot be missed.
void Serve(int listener, refserver::IdStore& store, milliseconds readTime, const sigset_t& waitMask) {
  std::vector<Client> clients;
  std::vector<pollfd> polled;
  while (!stopRequested) {
    polled.clear();
    // A full table leaves new connections waiting in the backlog until a slot frees.
    polled.push_back({listener, static_cast<short>(clients.size() < kMaxClients ? POLLIN : 0), 0});
    auto now = Clock::now();
    auto wait = milliseconds(60000);
    for (const Client& client : clients) {
      short events = client.phase == Phase::kWriting ? POLLOUT : POLLIN;
      polled.push_back({client.fd, events, 0});
      auto left = std::chrono::duration_cast<milliseconds>(client.deadline - now) + milliseconds(1);
      wait = std::clamp(left, milliseconds(0), wait);
    }
    timespec timeout{static_cast<time_t>(wait.count() / 1000), static_cast<long>(wait.count() % 1000) * 1000000};
    int ready = ::ppoll(polled.data(), polled.size(), &timeout, &waitMask);
    if (ready < 0 && errno != EINTR) {
      std::perror("refserver: ppoll");
      break;
    }
    now = Clock::now();
    std::vector<Client> kept;
    for (std::size_t i = 0; i < clients.size(); ++i) {
      Client& client = clients[i];
      short revents = ready > 0 ? polled[i + 1].revents : 0;
      bool keep = true;
      if (revents & (POLLIN | POLLHUP | POLLERR)) {
        keep = client.phase == Phase::kWriting ? WriteTo(client) : ReadFrom(client, store);
      } else if (revents & POLLOUT) {
        keep = WriteTo(client);
      }
      if (keep && client.phase == Phase::kWriting && client.sent == 0) keep = WriteTo(client);
      if (keep && now >= client.deadline) {
        if (client.phase == Phase::kReading) {
          OnDeadline(client);
          keep = WriteTo(client);
        } else {
          keep = false;
        }
      }
      if (keep) {
        kept.push_back(std::move(client));
      } else {
        ::close(client.fd);
      }
    }
    clients = std::move(kept);
    if (ready > 0 && (polled[0].revents & POLLIN)) AcceptAll(listener, clients, readTime);
  }
  for (const Client& client : clients) ::close(client.fd);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Usage(stderr);
    return 2;
  }
  refserver::IdStore store(options.store);
  if (!store.Load()) {
    std::fprintf(stderr, "refserver: cannot read %s: %s\n", options.store.c_str(), std::strerror(errno));
    return 1;
  }
  for (const std::string& id : options.addIds) {
    if (!store.Add(id)) {
      std::fprintf(stderr, "refserver: cannot write %s: %s\n", options.store.c_str(), std::strerror(errno));
      return 1;
    }
  }
  int listener = OpenListener(options.port);
  if (listener < 0) {
    std::fprintf(stderr, "refserver: cannot listen on 127.0.0.1:%d: %s\n", options.port, std::strerror(errno));
    return 1;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);

  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);
  sigset_t stopSignals;
  sigset_t waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  ::signal(SIGPIPE, SIG_IGN);

  std::printf("listening on http://127.0.0.1:%d/ (%zu identifiers in %s)\n", ntohs(bound.sin_port),
              store.size(), store.path().c_str());
  std::fflush(stdout);
  Serve(listener, store, options.readTime, waitMask);
  ::close(listener);
  std::printf("stopped\n");
  std::fflush(stdout);
  return 0;
}
