// The reference update server: a small HTTP/1.0 server on 127.0.0.1 for the demo and the
// tests. It answers the client's update request with the marker and a status word, serves
// the identifier creation page, keeps its identifiers in a small file and prints one line
// per request. Several connections are served at once from one poll loop, each with a
// bounded size and a deadline, so a slow or hostile client cannot stall it; when the
// connections are all taken, the oldest idle one makes room for a new one.
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
// A peer's further connections close its oldest idle one, so one program that opens many
// and sends nothing cannot take every slot. Behind a proxy every request comes from the
// proxy, which sends each one whole at once, so its connections are seldom idle.
constexpr std::size_t kMaxPerPeer = 8;
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
  std::vector<std::string> hosts;
  refserver::CreationRules rules;
};

void Usage(FILE* out) {
  std::fputs(
      "usage: refserver [OPTION]...\n"
      "The reference update server: answers GET /update?ip_key=ID and serves the identifier\n"
      "creation page /creer.php6, on 127.0.0.1 only.\n"
      "  --port N                      TCP port on 127.0.0.1 (0, the default: any free port)\n"
      "  --store FILE                  identifier file (default refserver-ids.txt), locked\n"
      "                                through FILE.lock: one server per store\n"
      "  --add-id ID                   registers ID before serving (repeatable; not counted\n"
      "                                against --max-ids)\n"
      "  --read-timeout-ms N           time a client has to send its request (default 5000)\n"
      "  --allow-host NAME[:PORT]      another Host the creation page answers to, e.g. the\n"
      "                                name a proxy forwards (repeatable); 127.0.0.1:PORT and\n"
      "                                localhost:PORT always are\n"
      "  --max-creations-per-minute N  identifiers one peer address may create a minute\n"
      "                                (default 10; 0 turns creation off)\n"
      "  --max-ids N                   no creation once the store holds N (default 10000)\n"
      "  -h, --help                    this text\n"
      "The first line printed is \"listening on http://127.0.0.1:PORT/\", then one line per\n"
      "request. Exit status: 0 when stopped by SIGINT or SIGTERM, 1 when the store cannot be\n"
      "read, written or locked or the port taken, 2 for a wrong option.\n",
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
    } else if (arg == "--allow-host" && *value) {
      options.hosts.push_back(value);
    } else if (arg == "--max-creations-per-minute" && ParseNumber(value, 0, 1000000, number)) {
      options.rules.perPeerPerMinute = static_cast<std::size_t>(number);
    } else if (arg == "--max-ids" && ParseNumber(value, 0, 100000000, number)) {
      options.rules.maxIdentifiers = static_cast<std::size_t>(number);
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
  Clock::time_point accepted;
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
void OnReceived(Client& client, refserver::IdStore& store, refserver::CreationGuard& guard) {
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
  std::string_view body(client.received);
  body = body.substr(client.headLength, client.head.contentLength);
  StartReply(client, line,
             refserver::Answer(client.head, body, client.peerAddress, refserver::UtcNow(), store,
                               guard));
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
bool ReadFrom(Client& client, refserver::IdStore& store, refserver::CreationGuard& guard) {
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
  OnReceived(client, store, guard);
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
      ::listen(fd, 64) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The connection to close to make room for a new one, oldest first among those answered
// and lingering, then those that have sent nothing, then those part-way through a request;
// one being answered is never closed. peerAddress, when given, limits the choice to that
// peer's. clients.size() when there is none.
std::size_t IdlestClient(const std::vector<Client>& clients, const std::string* peerAddress) {
  auto rank = [](const Client& client) {
    if (client.phase == Phase::kLingering) return 0;
    if (client.phase == Phase::kReading) return client.received.empty() ? 1 : 2;
    return 3;
  };
  std::size_t best = clients.size();
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const Client& client = clients[i];
    if (rank(client) == 3 || (peerAddress && client.peerAddress != *peerAddress)) continue;
    if (best == clients.size() || rank(client) < rank(clients[best]) ||
        (rank(client) == rank(clients[best]) && client.accepted < clients[best].accepted))
      best = i;
  }
  return best;
}

// One that has sent part of a request is told why, as far as one send goes; one that has
// sent nothing is closed quietly, as a browser expects of a connection it opened ahead.
void CloseToMakeRoom(std::vector<Client>& clients, std::size_t index) {
  Client& client = clients[index];
  if (client.phase == Phase::kReading && !client.received.empty()) {
    const auto reply = refserver::ErrorReply(503, "closed unfinished: connections full");
    PrintLine(client, FirstLine(client.received), reply);
    const std::string text = refserver::Serialize(reply);
    (void)!::send(client.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  ::close(client.fd);
  clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(index));
}

// Accepts at most kMaxPerPeer at a time, so that a connection just accepted is read before
// later ones could count it as the idlest.
void AcceptAll(int listener, std::vector<Client>& clients, milliseconds readTime) {
  for (std::size_t accepted = 0; accepted < kMaxPerPeer; ++accepted) {
    if (clients.size() >= kMaxClients && IdlestClient(clients, nullptr) == clients.size()) return;
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
    client.accepted = Clock::now();
    client.deadline = client.accepted + readTime;
    auto fromPeer = std::count_if(clients.begin(), clients.end(), [&](const Client& other) {
      return other.peerAddress == client.peerAddress;
    });
    if (static_cast<std::size_t>(fromPeer) >= kMaxPerPeer) {
      std::size_t idlest = IdlestClient(clients, &client.peerAddress);
      if (idlest == clients.size()) {  // all of this peer's are being answered
        ::close(fd);
        continue;
      }
      CloseToMakeRoom(clients, idlest);
    } else if (clients.size() >= kMaxClients) {
      CloseToMakeRoom(clients, IdlestClient(clients, nullptr));
    }
    clients.push_back(std::move(client));
  }
}

// The stop signals are blocked except while waiting in ppoll, so one that comes between the
// check of stopRequested and the wait cannot be missed.
void Serve(int listener, refserver::IdStore& store, refserver::CreationGuard& guard,
           milliseconds readTime, const sigset_t& waitMask) {
  std::vector<Client> clients;
  std::vector<pollfd> polled;
  while (!stopRequested) {
    polled.clear();
    // A table full of connections being answered leaves new ones waiting in the backlog
    // until a slot frees; any other full table makes room.
    bool room = clients.size() < kMaxClients || IdlestClient(clients, nullptr) < clients.size();
    polled.push_back({listener, static_cast<short>(room ? POLLIN : 0), 0});
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
        keep = client.phase == Phase::kWriting ? WriteTo(client) : ReadFrom(client, store, guard);
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
  if (!store.Lock()) {
    if (errno == EWOULDBLOCK) {
      std::fprintf(stderr, "refserver: %s is in use by another refserver (it holds %s.lock); "
                           "stop that one or give another --store\n",
                   options.store.c_str(), options.store.c_str());
    } else {
      std::fprintf(stderr, "refserver: cannot lock %s.lock: %s\n", options.store.c_str(),
                   std::strerror(errno));
    }
    return 1;
  }
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
  const int port = ntohs(bound.sin_port);
  // The creation page answers to the address a browser on this machine uses, and to those
  // given for a proxy; a browser leaves out port 80.
  options.rules.hosts = {"127.0.0.1:" + std::to_string(port), "localhost:" + std::to_string(port)};
  if (port == 80) options.rules.hosts.insert(options.rules.hosts.end(), {"127.0.0.1", "localhost"});
  options.rules.hosts.insert(options.rules.hosts.end(), options.hosts.begin(), options.hosts.end());
  options.rules.token = refserver::NewFormToken();
  refserver::CreationGuard guard(options.rules);

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

  std::printf("listening on http://127.0.0.1:%d/ (%zu identifiers in %s)\n", port, store.size(),
              store.path().c_str());
  std::fflush(stdout);
  Serve(listener, store, guard, options.readTime, waitMask);
  ::close(listener);
  std::printf("stopped\n");
  std::fflush(stdout);
  return 0;
}
