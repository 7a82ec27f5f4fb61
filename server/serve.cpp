// `serve`: the store, the DNS updater, the listening sockets and the HTTP side, until SIGTERM.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/unique_handle.hpp"
#include "server/commands.hpp"
#include "server/http_server.hpp"
#include "server/identity.hpp"
#include "server/pusher.hpp"

namespace qserver {

namespace {

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

std::atomic<bool> stopping{false};

// SIGHUP: the configuration read again as the command line gave it. The key and the records'
// time to live are taken at once; the others are told to need a restart. A configuration or a
// key that does not read is logged, and the running one kept.
void Reload(const Options& running, DnsUpdater* updater, LogSink& log) {
  std::vector<char*> argv;
  std::vector<std::string> words = running.argv;
  for (std::string& word : words) argv.push_back(word.data());
  Options fresh;
  std::string error;
  TsigKey key;
  if (!ParseCommandLine(static_cast<int>(argv.size()), argv.data(), fresh, error) ||
      (updater && !fresh.zone.empty() && !LoadTsigKey(fresh.tsigKey, key, error))) {
    log.Line(UtcNow() + " SIGHUP: not reloaded, the running configuration kept: " + error);
    return;
  }
  std::string restart;
  for (const std::string& name : ChangedOptions(running, fresh))
    if (name != "tsig-key" && name != "ttl") restart += (restart.empty() ? "" : ", ") + name;
  if (updater) updater->Reload(key, fresh.ttl);
  log.Line(UtcNow() + " SIGHUP: configuration reloaded" +
           (updater ? "; TSIG key " + key.name + ", ttl " + std::to_string(fresh.ttl) : std::string()) +
           (restart.empty() ? "" : "; changed, taken at the next start: " + restart));
}

// A PEM file whole, for libmicrohttpd, which takes the certificate and key from memory.
bool ReadPem(const std::string& path, const char* option, std::string& pem, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  pem = text.str();
  if (!in || pem.find("-----BEGIN ") == std::string::npos) {
    error = std::string(option) + " " + path + ": " +
            (in ? "no PEM block in it" : std::string("cannot read it: ") + std::strerror(errno));
    return false;
  }
  return true;
}

// One server per SQLite store: a second would answer from a copy of the names that the first
// no longer holds, and push DNS work twice. Held as long as the descriptor is.
quorvel::UniqueFd LockStore(const std::string& store, std::string& error) {
  const std::string lockPath = store + ".lock";
  quorvel::UniqueFd lock(::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock) {
    error = "cannot open " + lockPath + ": " + std::strerror(errno);
    return {};
  }
  // Run by root on the service's store: the lock is the store owner's, as SQLite makes its
  // journals, or the service could not open it afterwards.
  struct stat owner {};
  if (::geteuid() == 0 && ::stat(store.c_str(), &owner) == 0 && owner.st_uid != 0 &&
      ::fchown(lock.get(), owner.st_uid, owner.st_gid) != 0) {
    error = "cannot give " + lockPath + " to the store's owner: " + std::strerror(errno);
    return {};
  }
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    error = store + " is in use by another quorvel-server (it holds " + lockPath +
            "); stop that one or give another --store";
    return {};
  }
  return lock;
}

}  // namespace

int RunServe(Options& o) {
  const Options given = o;  // before the listening ports are filled in: SIGHUP compares with it
  std::string error;
  // Read once, before the store is even opened: a pair that cannot be read refuses the start.
  std::string certPem, keyPem;
  if (!o.listenHttps.empty() && (!ReadPem(o.tlsCert, "--tls-cert", certPem, error) ||
                                 !ReadPem(o.tlsKey, "--tls-key", keyPem, error)))
    return Fail(error);
  const std::unique_ptr<NameStore> opened = OpenStore(o.store, o.create, error);
  if (!opened) return Fail(error);
  NameStore& store = *opened;
  // A PostgreSQL store is shared: its servers hear each other's changes and share the DNS
  // work through its row locks. The rest of this is SQLite's.
  quorvel::UniqueFd lock;
  if (!IsPostgresLocation(o.store) && !(lock = LockStore(o.store, error))) return Fail(error);
  std::unique_ptr<DnsUpdater> updater;
  if (!MakeUpdater(o, &stopping, updater, error)) return Fail(error);

  // The stop signals reach sigwait below, never a thread of the libraries.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  std::vector<quorvel::UniqueFd> sockets;
  std::vector<std::string> hosts;
  for (Endpoint& endpoint : o.listen) {
    sockets.push_back(Listen(endpoint, error));
    if (!sockets.back()) return Fail(error);
    AddOwnHosts(endpoint, hosts);
  }
  std::vector<quorvel::UniqueFd> tlsSockets;
  for (Endpoint& endpoint : o.listenHttps) {
    tlsSockets.push_back(Listen(endpoint, error));
    if (!tlsSockets.back()) return Fail(error);
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
  registry.SetLog([&log](const std::string& line) { log.Line(line); });
  store.SetLog([&log](const std::string& line) { log.Line(line); });
  registry.Load();
  HttpServer http(o, registry, store, log, metrics, hosts);
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    log.Line("listening on http://" + o.listen[i].Text() + "/");
    if (!http.Serve(sockets[i].get(), false, error)) return Fail(error);
  }
  for (std::size_t i = 0; i < tlsSockets.size(); ++i) {
    log.Line("listening on https://" + o.listenHttps[i].Text() + "/");
    if (!http.ServeTls(tlsSockets[i].get(), certPem, keyPem, error)) return Fail(error);
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

  // Every half second without a signal, the store is looked at: what other commands (or
  // servers) changed is logged and taken even while no client comes.
  const timespec tick{0, 500'000'000};
  int signal;
  while ((signal = sigtimedwait(&signals, nullptr, &tick)) != SIGTERM && signal != SIGINT) {
    if (signal == SIGHUP) Reload(given, updater.get(), log);
    registry.Refresh();
  }
  stopping = true;
  http.Stop();
  if (pusher) pusher->Stop();
  const long long pending = updater ? store.PendingCount().value : 0;
  log.Line(
      UtcNow() + " stopped" +
      (pending > 0 ? ", " + std::to_string(pending) + " name(s) with DNS work kept for the next start" : ""));
  store.SetLog(nullptr);
  if (!log.Close(std::chrono::milliseconds(300))) (void)logOwner.release();
  return 0;
}

}  // namespace qserver
