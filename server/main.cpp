// quorvel-server: the update service. `serve` answers the clients and publishes their
// addresses into DNS; add, remove, list and import manage the names in the same store.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "common/unique_handle.hpp"
#include "server/dns_update.hpp"
#include "server/http_server.hpp"
#include "server/identity.hpp"
#include "server/log_sink.hpp"
#include "server/metrics.hpp"
#include "server/options.hpp"
#include "server/peer_rules.hpp"
#include "server/pusher.hpp"
#include "server/registry.hpp"
#include "server/name_store.hpp"

namespace {

using namespace qserver;

int Fail(const std::string& message) {
  std::fprintf(stderr, "quorvel-server: %s\n", message.c_str());
  return 1;
}

std::string FullName(const Options& o, const std::string& label) { return qserver::FullName(label, o.zone); }

// A listening socket for the endpoint; its port filled in when 0 was asked.
quorvel::UniqueFd Listen(Endpoint& endpoint, std::string& error) {
  sockaddr_storage storage;
  socklen_t length = endpoint.ToSockaddr(storage);
  const int family = endpoint.v6 ? AF_INET6 : AF_INET;
  quorvel::UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  int one = 1;
  if (fd) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // [::]:80 beside 0.0.0.0:80: each family on its own socket.
    if (endpoint.v6) ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  }
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      ::listen(fd.get(), 1024) != 0) {
    error = "cannot listen on " + endpoint.Text() + ": " + std::strerror(errno);
    return {};
  }
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&storage), &length);
  endpoint.port = endpoint.v6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port)
                              : ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  return fd;
}

// The Host values the creation page answers to on this endpoint (a browser leaves out :80).
void AddOwnHosts(const Endpoint& e, std::vector<std::string>& hosts) {
  const std::string port = std::string(1, ':').append(std::to_string(e.port));
  std::vector<std::string> names;
  if (e.address == "0.0.0.0" || e.address == "::")
    names = {"127.0.0.1", "[::1]", "localhost"};
  else if (IsLoopback(e.address))
    names = {e.Host(), "localhost"};
  else
    names = {e.Host()};
  for (const std::string& name : names) {
    hosts.push_back(name + port);
    if (e.port == 80) hosts.push_back(name);
  }
}

bool MakeUpdater(const Options& o, const std::atomic<bool>* stop, std::unique_ptr<DnsUpdater>& updater,
                 std::string& error) {
  if (o.zone.empty()) return true;
  TsigKey key;
  if (!LoadTsigKey(o.tsigKey, key, error)) return false;
  updater = std::make_unique<DnsUpdater>(o.zone, *o.dnsServer, key, o.ttl, stop);
  return true;
}

std::atomic<bool> stopping{false};

int Serve(Options& o) {
  // One server per store: a second would answer from a copy of the names that the first
  // no longer holds, and push DNS work twice.
  const std::string lockPath = o.store + ".lock";
  quorvel::UniqueFd lock(::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock) return Fail("cannot open " + lockPath + ": " + std::strerror(errno));
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    return Fail(o.store + " is in use by another quorvel-server (it holds " + lockPath +
                "); stop that one or give another --store");
  }
  std::string error;
  const std::unique_ptr<NameStore> opened = OpenStore(o.store, error);
  if (!opened) return Fail(error);
  NameStore& store = *opened;
  std::unique_ptr<DnsUpdater> updater;
  if (!MakeUpdater(o, &stopping, updater, error)) return Fail(error);

  // The stop signals reach sigwait below, never a thread of the libraries.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  std::vector<quorvel::UniqueFd> sockets;
  std::vector<std::string> hosts;
  for (Endpoint& endpoint : o.listen) {
    sockets.push_back(Listen(endpoint, error));
    if (!sockets.back()) return Fail(error);
    AddOwnHosts(endpoint, hosts);
  }
  std::optional<Endpoint> metricsEndpoint = o.metricsListen;
  quorvel::UniqueFd metricsSocket;
  if (metricsEndpoint) {
    metricsSocket = Listen(*metricsEndpoint, error);
    if (!metricsSocket) return Fail(error);
  }

  // Held by pointer: if standard output stalls at the end, the writer is left to the end
  // of the process rather than waited for (SIGTERM ends the server within a second).
  auto logOwner = std::make_unique<LogSink>();
  LogSink& log = *logOwner;
  Metrics metrics;
  std::unique_ptr<Pusher> pusher;
  if (updater) pusher = std::make_unique<Pusher>(store, *updater, log, metrics, stopping);
  Registry registry(store, updater != nullptr, static_cast<std::size_t>(o.maxUpdatesPerMinute), [&] {
    if (pusher) pusher->Wake();
  });
  registry.Load();
  HttpServer http(o, registry, store, log, metrics, hosts);
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    log.Line("listening on http://" + o.listen[i].Text() + "/");
    if (!http.Serve(sockets[i].get(), false, error)) return Fail(error);
  }
  if (metricsSocket) {
    log.Line("metrics on http://" + metricsEndpoint->Text() + "/metrics");
    if (!http.Serve(metricsSocket.get(), true, error)) return Fail(error);
  }
  log.Line(UtcNow() + " " + std::to_string(store.Count().value) + " name(s) in " + o.store +
           (updater ? "; DNS: zone " + o.zone + " through " + o.dnsServer->Text()
                    : "; no --zone: addresses are recorded only"));
  if (updater) {
    const long long published = store.PublishAllInto(o.zone).value;
    if (published > 0)
      log.Line(UtcNow() + " dns: first run into " + o.zone + ": " + std::to_string(published) +
               " recorded name(s) to publish");
  }
  if (pusher) pusher->Start();

  int signal = 0;
  sigwait(&signals, &signal);
  stopping = true;
  http.Stop();
  if (pusher) pusher->Stop();
  const long long pending = updater ? store.PendingCount().value : 0;
  log.Line(
      UtcNow() + " stopped" +
      (pending > 0 ? ", " + std::to_string(pending) + " name(s) with DNS work kept for the next start" : ""));
  if (!log.Close(std::chrono::milliseconds(300))) (void)logOwner.release();
  return 0;
}

// After remove: the records go now if the primary answers, or stay as pending work.
void PushNow(const Options& o, NameStore& store, const std::string& label) {
  std::unique_ptr<DnsUpdater> updater;
  std::string error;
  if (!MakeUpdater(o, nullptr, updater, error)) {
    std::printf("DNS: %s; the records' removal is kept as pending work\n", error.c_str());
    return;
  }
  std::vector<PendingRow> rows;
  for (PendingRow& row : store.Pending(100000).value)
    if (row.label == label) rows.push_back(row);
  if (rows.empty()) return;
  if (updater->Send(rows, error)) {
    store.Done(rows);
    std::printf("DNS: the A and AAAA records of %s are deleted\n", FullName(o, label).c_str());
  } else {
    std::printf("DNS: %s; the records' removal is kept as pending work for the running server\n",
                error.c_str());
  }
}

int Manage(Options& o) {
  std::string error;
  const std::unique_ptr<NameStore> opened = OpenStore(o.store, error);
  if (!opened) return Fail(error);
  NameStore& store = *opened;
  const bool dns = !o.zone.empty();
  if (o.command == "add") {
    if (!IsLabel(o.argument))
      return Fail("\"" + o.argument +
                  "\" is not a name: 1 to 63 lower-case letters, digits and inner hyphens");
    const std::string id = NewIdentifier();
    const Result<NameStore::Added> added = store.Add(o.argument, IdentifierDigest(id), UtcNow());
    if (!added.ok()) return Fail("cannot write " + o.store + ": " + added.error);
    if (added.value == NameStore::Added::kTaken) return Fail("the name " + o.argument + " is taken");
    std::printf("added %s; its identifier (a secret, shown only now):\n%s\n", FullName(o, o.argument).c_str(),
                id.c_str());
    return 0;
  }
  if (o.command == "remove") {
    if (!store.Remove(o.argument, dns).value) return Fail("no name " + o.argument + " in " + o.store);
    std::printf("removed %s\n", FullName(o, o.argument).c_str());
    if (dns) PushNow(o, store, o.argument);
    return 0;
  }
  if (o.command == "list") {
    for (const NameRow& row : store.All().value) {
      const std::string& when = row.ipv4Time > row.ipv6Time ? row.ipv4Time : row.ipv6Time;
      std::printf("%s %s %s %s\n", row.label.c_str(), row.ipv4.empty() ? "-" : row.ipv4.c_str(),
                  row.ipv6.empty() ? "-" : row.ipv6.c_str(), when.empty() ? "-" : when.c_str());
    }
    return 0;
  }
  // import: a refserver store, one identifier a line, optionally its address and time after
  // tabs. Identifiers are kept as they are; each gets a name of its own, imported-N, printed
  // beside its line number so that the operator can rename it.
  std::ifstream in(o.argument);
  if (!in) return Fail("cannot read " + o.argument);
  std::string line;
  int number = 0, imported = 0, skipped = 0, next = 1;
  while (std::getline(in, line)) {
    ++number;
    std::istringstream fields(line);
    std::string id, address, time;
    std::getline(fields, id, '\t');
    std::getline(fields, address, '\t');
    std::getline(fields, time, '\t');
    if (!IsSafeIdentifier(id)) {
      if (!line.empty()) ++skipped;
      continue;
    }
    // The name is never made from the identifier: with a zone, names are public in DNS, and an
    // identifier is a secret.
    std::string label;
    Result<NameStore::Added> result{NameStore::Added::kTaken};
    while (result.ok() && result.value == NameStore::Added::kTaken) {
      label = "imported-" + std::to_string(next++);
      result = store.Add(label, IdentifierDigest(id), UtcNow());
    }
    if (!result.ok()) {
      // The same identifier twice, or the store not writable.
      std::fprintf(stderr, "quorvel-server: %s:%d not imported: %s\n", o.argument.c_str(), number,
                   result.error.c_str());
      ++skipped;
      continue;
    }
    unsigned char buffer[16];
    if (::inet_pton(AF_INET, address.c_str(), buffer) == 1)
      store.Record(label, kFamilyV4, address, time.empty() ? UtcNow() : time, dns);
    else if (::inet_pton(AF_INET6, address.c_str(), buffer) == 1)
      store.Record(label, kFamilyV6, address, time.empty() ? UtcNow() : time, dns);
    std::printf("imported %s (line %d)\n", FullName(o, label).c_str(), number);
    ++imported;
  }
  std::printf("imported %d name(s) from %s%s\n", imported, o.argument.c_str(),
              skipped ? (", " + std::to_string(skipped) + " line(s) skipped").c_str() : "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  Options options;
  std::string error;
  if (!ParseCommandLine(argc, argv, options, error)) {
    std::fprintf(stderr, "quorvel-server: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  return options.command == "serve" ? Serve(options) : Manage(options);
}
