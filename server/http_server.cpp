// libmicrohttpd's daemons, one per listening socket; the route table and a request's way to
// its endpoint; the reply's queuing and the request's log line.
#include "server/http_server.hpp"
#include "server/tls_pair.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "server/identity.hpp"
#include "server/pages.hpp"
#include "server/query.hpp"

namespace qserver {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxBody = 1024;

// Where a route answers: every socket, or the metrics socket and loopback peers elsewhere.
enum class Scope { kPublic, kMetrics };

struct Route {
  std::string_view path;
  unsigned methods;
  Reply (*endpoint)(Site&, const Request&);
  Scope scope;
  bool basicAuth;  // the request's credentials are read for it
};

constexpr Route kRoutes[] = {
    {"/update", kGet, UpdateEndpoint, Scope::kPublic, false},
    {"/nic/update", kGet, DynDns2Endpoint, Scope::kPublic, true},
    {"/creer.php6", kGet | kPost, CreationEndpoint, Scope::kPublic, false},
    {"/metrics", kAnyMethod, MetricsEndpoint, Scope::kMetrics, false},
};

// "127.0.0.1:4242" or "[::1]:4242".
std::string PeerText(const sockaddr* address) {
  const std::string text = AddressText(address);
  int port = address->sa_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port)
                                            : ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  return (text.find(':') != std::string::npos ? "[" + text + "]" : text) + ":" + std::to_string(port);
}

// Every value of one header, in the order received.
std::vector<std::string_view> HeaderValues(MHD_Connection* connection, const char* name) {
  struct Found {
    const char* name;
    std::vector<std::string_view> values;
  } found{name, {}};
  MHD_get_connection_values(
      connection, MHD_HEADER_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
        auto* f = static_cast<Found*>(cls);
        if (key && strcasecmp(key, f->name) == 0) f->values.emplace_back(value ? value : "");
        return MHD_YES;
      },
      &found);
  return found.values;
}

std::optional<Credentials> BasicAuth(MHD_Connection* connection) {
  char* password = nullptr;
  char* user = MHD_basic_auth_get_username_password(connection, &password);
  std::optional<Credentials> credentials;
  if (user) credentials = Credentials{user, password ? password : ""};
  if (user) MHD_free(user);
  if (password) MHD_free(password);
  return credentials;
}

// A reply with the headers every reply carries.
MHD_Response* MakeResponse(std::string_view body, const char* type, bool askCredentials) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  MHD_add_response_header(response, "Content-Type", type);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  // One request per connection, as the clients speak: a browser's kept-alive connection
  // would hold one of its peer's few places.
  MHD_add_response_header(response, "Connection", "close");
  if (askCredentials) MHD_add_response_header(response, "WWW-Authenticate", "Basic realm=\"quorvel\"");
  return response;
}

MHD_Result NoUnescape(void*, MHD_Connection*, char* s) { return static_cast<MHD_Result>(std::strlen(s)); }

}  // namespace

const sockaddr* HttpServer::PeerOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  return info ? info->client_addr : nullptr;
}

Method MethodOf(std::string_view name) {
  return name == "GET" ? kGet : name == "POST" ? kPost : kOtherMethod;
}

Reply ErrorReply(int status, std::string outcome) {
  Reply reply;
  reply.status = status;
  reply.body = ErrorPage(status);
  reply.outcome = std::move(outcome);
  return reply;
}

// One request's state, from its URI to its end.
struct HttpServer::Exchange {
  Clock::time_point start = Clock::now();
  std::string uri;  // as received: nothing unescaped
  std::string body;
  bool tooLarge = false;
  bool started = false;
  bool answered = false;
  Method method = kOtherMethod;
  std::string line;  // the request line, for the log
  std::string peer;
};

// libmicrohttpd's callbacks, each handing on to the server given as its closure.
struct HttpServer::Callbacks {
  static MHD_Result Access(void* cls, MHD_Connection* c, const char*, const char* method, const char* version,
                           const char* data, size_t* size, void** context, bool metricsOnly) {
    auto* exchange = static_cast<Exchange*>(*context);
    if (!exchange) return MHD_NO;
    if (!exchange->started) {
      exchange->started = true;
      exchange->method = MethodOf(method);
      exchange->line = MaskedLine(method, exchange->uri, version);
      const sockaddr* peer = PeerOf(c);
      exchange->peer = peer ? PeerText(peer) : "?";
      // A body declared larger than any form is refused before a byte of it is read.
      const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
      if (length && std::strtoull(length, nullptr, 10) > kMaxBody) {
        exchange->tooLarge = true;
        return static_cast<HttpServer*>(cls)->Answer(c, *exchange, metricsOnly);
      }
      return MHD_YES;
    }
    if (*size) {
      if (exchange->body.size() + *size > kMaxBody)
        exchange->tooLarge = true;
      else
        exchange->body.append(data, *size);
      *size = 0;
      return MHD_YES;
    }
    return static_cast<HttpServer*>(cls)->Answer(c, *exchange, metricsOnly);
  }
  static MHD_Result Public(void* cls, MHD_Connection* c, const char* url, const char* method,
                           const char* version, const char* data, size_t* size, void** context) {
    return Access(cls, c, url, method, version, data, size, context, false);
  }
  static MHD_Result MetricsOnly(void* cls, MHD_Connection* c, const char* url, const char* method,
                                const char* version, const char* data, size_t* size, void** context) {
    return Access(cls, c, url, method, version, data, size, context, true);
  }
  static MHD_Result Policy(void* cls, const sockaddr* address, socklen_t) {
    return static_cast<HttpServer*>(cls)->AdmitPeer(address) ? MHD_YES : MHD_NO;
  }
  static void Notify(void* cls, MHD_Connection* c, void** socketContext,
                     MHD_ConnectionNotificationCode code) {
    static_cast<HttpServer*>(cls)->OnConnection(c, socketContext, code);
  }
  static void* OnUri(void*, const char* uri, MHD_Connection*) {
    auto* exchange = new Exchange;
    exchange->uri = uri ? uri : "";
    return exchange;
  }
  static void OnCompleted(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode code) {
    std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*context));
    *context = nullptr;
    if (!exchange || exchange->answered || code == MHD_REQUEST_TERMINATED_COMPLETED_OK) return;
    // Refused by libmicrohttpd itself (malformed, too large) or never finished: one line too.
    static const char* const kWhy[] = {"completed",       "error",      "timed out",
                                       "server stopping", "read error", "client closed"};
    const std::string line = exchange->line.empty() ? MaskedLine("-", exchange->uri, "-") : exchange->line;
    static_cast<HttpServer*>(cls)->LogLine(
        exchange->peer.empty() ? std::string_view("-") : exchange->peer, line,
        std::string("- no reply: ") + (static_cast<unsigned>(code) < 6 ? kWhy[code] : "ended"));
  }
};

HttpServer::HttpServer(const Options& options, Registry& registry, NameStore& store, LogSink& log,
                       Metrics& metrics, std::vector<std::string> ownHosts)
    : site_{options,    registry,
            store,      log,
            metrics,    std::move(ownHosts),
            NewToken(), SlidingWindow(static_cast<std::size_t>(options.maxCreationsPerMinute)),
            SlidingWindow(static_cast<std::size_t>(std::max(10, options.maxNames / 100)), std::chrono::hours(24)),
            SlidingWindow(static_cast<std::size_t>(options.maxFailuresPerHour), std::chrono::hours(1))},
      proxies_(options.trustedProxies) {
  for (const quorvel::protocol::Status word : quorvel::protocol::kStatuses)
    updateReplies_.emplace(word, MakeResponse(UpdatePage(quorvel::protocol::StatusText(word)), kHtml, false));
}

HttpServer::~HttpServer() {
  Stop();
  {
    std::lock_guard lock(peersMutex_);
    stopReaper_ = true;
  }
  reaperWake_.notify_all();
  if (reaper_.joinable()) reaper_.join();
  for (auto& [word, response] : updateReplies_) MHD_destroy_response(response);
}

void HttpServer::Stop() {
  for (MHD_Daemon* daemon : daemons_) MHD_stop_daemon(daemon);
  daemons_.clear();
}

bool HttpServer::Serve(int listenFd, bool metricsOnly, std::string& error) {
  return Start(listenFd, metricsOnly, false, error);
}

bool HttpServer::ServeTls(int listenFd, std::string& error) { return Start(listenFd, false, true, error); }

bool HttpServer::Start(int listenFd, bool metricsOnly, bool tls, std::string& error) {
  const Options& o = site_.options;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
  // The TLS option through an array: the plain daemons' argument list stays one. The pair is
  // asked for at each handshake rather than given once, so that SIGHUP can replace it.
  MHD_OptionItem tlsOptions[] = {
      {MHD_OPTION_HTTPS_CERT_CALLBACK, 0, reinterpret_cast<void*>(&TlsPair::Retrieve)},
      {MHD_OPTION_END, 0, nullptr}};
  if (tls) flags |= MHD_USE_TLS;
  MHD_Daemon* daemon = MHD_start_daemon(
      flags, 0, &Callbacks::Policy, this, metricsOnly ? &Callbacks::MetricsOnly : &Callbacks::Public, this,
      MHD_OPTION_LISTEN_SOCKET, listenFd, MHD_OPTION_THREAD_POOL_SIZE,
      static_cast<unsigned>(metricsOnly ? 1 : o.threads), MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned>(o.maxConnections), MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(o.readTimeout), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(16 * 1024), MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::OnUri, this,
      MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::OnCompleted, this, MHD_OPTION_NOTIFY_CONNECTION,
      &Callbacks::Notify, this, MHD_OPTION_UNESCAPE_CALLBACK, &NoUnescape, nullptr, MHD_OPTION_ARRAY,
      tls ? tlsOptions : tlsOptions + 1, MHD_OPTION_END);
  if (!daemon) {
    error = tls ? "cannot start the HTTPS server (libmicrohttpd says why above)" : "cannot start the HTTP server";
    return false;
  }
  daemons_.push_back(daemon);
  if (!reaper_.joinable()) reaper_ = std::thread([this] { Reap(); });
  return true;
}

void HttpServer::LogLine(std::string_view peer, std::string_view line, const std::string& end) {
  std::string text = UtcNow();
  text.append(1, ' ').append(peer).append(" \"").append(Printable(line)).append("\" ").append(end);
  site_.log.Line(std::move(text));
}

MHD_Result HttpServer::Answer(MHD_Connection* connection, Exchange& exchange, bool metricsOnly) {
  Reply reply = Dispatch(connection, exchange, metricsOnly);
  MHD_Response* response = reply.word ? updateReplies_.at(*reply.word)
                                      : MakeResponse(reply.body, reply.type, reply.askCredentials);
  MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  if (!reply.word) MHD_destroy_response(response);
  exchange.answered = true;
  MarkAnswered(connection);
  if (reply.protocol) site_.metrics.CountUpdate(reply.protocol, reply.result);
  site_.metrics.ObserveSeconds(std::chrono::duration<double>(Clock::now() - exchange.start).count());
  LogLine(exchange.peer, exchange.line, std::to_string(reply.status) + " " + reply.outcome);
  return queued;
}

Reply HttpServer::Dispatch(MHD_Connection* connection, Exchange& exchange, bool metricsOnly) {
  // Two lengths or two hosts leave it to chance which one a proxy in front and this server
  // each believe: refused rather than read one way here and another there.
  const std::vector<std::string_view> hosts = HeaderValues(connection, "Host");
  if (hosts.size() > 1 || HeaderValues(connection, "Content-Length").size() > 1)
    return ErrorReply(400, "repeated Host or Content-Length");
  if (exchange.tooLarge) return ErrorReply(413, "body too large");
  const std::string_view uri = exchange.uri;
  const std::size_t q = uri.find('?');
  const std::string_view path = uri.substr(0, q);
  const Route* route = nullptr;
  for (const Route& candidate : kRoutes)
    if (candidate.path == path) route = &candidate;
  const sockaddr* peerAddress = PeerOf(connection);
  Request request;
  request.peer = peerAddress ? AddressText(peerAddress) : "";
  if (!route || (metricsOnly && route->scope != Scope::kMetrics)) return ErrorReply(404, "not found");
  // A local reverse proxy is a loopback peer too: what it forwards is the public's.
  if (route->scope == Scope::kMetrics && !metricsOnly &&
      (!IsLoopback(request.peer) || !HeaderValues(connection, "X-Forwarded-For").empty() ||
       !HeaderValues(connection, "Forwarded").empty()))
    return ErrorReply(404, "metrics only to loopback peers, not proxied");
  if (!(route->methods & exchange.method)) return ErrorReply(405, "method not allowed");
  request.method = exchange.method;
  request.query = q == std::string_view::npos ? std::string_view() : uri.substr(q + 1);
  request.body = exchange.body;
  request.client = ClientAddress(request.peer, HeaderValues(connection, "X-Forwarded-For"), proxies_);
  if (!hosts.empty()) request.host = hosts.front();
  if (route->basicAuth) request.credentials = BasicAuth(connection);
  return route->endpoint(site_, request);
}

}  // namespace qserver
