#include "server/http_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "server/identity.hpp"
#include "server/pages.hpp"

namespace qserver {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxBody = 1024;
constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kPlain = "text/plain; charset=utf-8";

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool IsLoopback(const std::string& address) { return address == "::1" || address.rfind("127.", 0) == 0; }

// Per-peer limits count every loopback address as one peer.
std::string PeerKey(const std::string& address) { return IsLoopback(address) ? "loopback" : address; }

// "127.0.0.1:4242" or "[::1]:4242".
std::string PeerText(const sockaddr* address) {
  const std::string text = AddressText(address);
  int port = address->sa_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port)
                                            : ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  return (text.find(':') != std::string::npos ? "[" + text + "]" : text) + ":" + std::to_string(port);
}

const sockaddr* PeerOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  return info ? info->client_addr : nullptr;
}

// A valid IPv4 or IPv6 address as text, normalised (IPv4-mapped as IPv4); empty otherwise.
std::string NormalAddress(std::string_view text) {
  const std::string s(text);
  sockaddr_in6 a6{};
  sockaddr_in a4{};
  if (::inet_pton(AF_INET, s.c_str(), &a4.sin_addr) == 1) {
    a4.sin_family = AF_INET;
    return AddressText(reinterpret_cast<sockaddr*>(&a4));
  }
  if (::inet_pton(AF_INET6, s.c_str(), &a6.sin6_addr) == 1) {
    a6.sin6_family = AF_INET6;
    return AddressText(reinterpret_cast<sockaddr*>(&a6));
  }
  return "";
}

Family FamilyOf(const std::string& address) {
  return address.find(':') == std::string::npos ? kFamilyV4 : kFamilyV6;
}

// One query or form field's value, with %XX and '+' undone.
std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// name=value&... : the first value of name, unescaped; found tells whether it was there.
std::string Field(std::string_view fields, std::string_view name, bool* found = nullptr) {
  while (true) {
    std::size_t amp = fields.find('&');
    std::string_view field = fields.substr(0, amp);
    if (field.size() > name.size() && field.substr(0, name.size()) == name && field[name.size()] == '=') {
      if (found) *found = true;
      return Unescape(field.substr(name.size() + 1));
    }
    if (amp == std::string_view::npos) break;
    fields.remove_prefix(amp + 1);
  }
  if (found) *found = false;
  return "";
}

int CountValues(MHD_Connection* connection, const char* name) {
  struct Counter {
    const char* name;
    int count = 0;
  } counter{name};
  MHD_get_connection_values(
      connection, MHD_HEADER_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char*) -> MHD_Result {
        auto* c = static_cast<Counter*>(cls);
        if (key && strcasecmp(key, c->name) == 0) ++c->count;
        return MHD_YES;
      },
      &counter);
  return counter.count;
}

// The request line for the log: an identifier is a credential, so only its first four
// characters are shown.
std::string MaskedLine(const std::string& method, std::string uri, const char* version) {
  std::size_t key = uri.find("ip_key=");
  if (key != std::string::npos) {
    std::size_t from = key + 7 + 4;
    std::size_t end = uri.find('&', key);
    if (end == std::string::npos) end = uri.size();
    if (from < end) uri.replace(from, end - from, "***");
  }
  return method + " " + uri + " " + version;
}

MHD_Result NoUnescape(void*, MHD_Connection*, char* s) { return static_cast<MHD_Result>(std::strlen(s)); }

}  // namespace

std::string AddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a))
      ::inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text);
    else
      ::inet_ntop(AF_INET6, &a, text, sizeof text);
  }
  return text;
}

struct HttpServer::Reply {
  int status = 200;
  std::string body;
  const char* type = kHtml;
  std::string outcome;             // for the log line
  MHD_Response* shared = nullptr;  // a prepared reply, kept
  bool askCredentials = false;
};

struct HttpServer::Request {
  Clock::time_point start = Clock::now();
  std::string uri;  // as received: nothing unescaped
  std::string body;
  bool tooLarge = false;
  bool started = false;
  bool answered = false;
  std::string line;  // the request line, for the log
  std::string peer;
};

HttpServer::HttpServer(const Options& options, Registry& registry, NameStore& store, LogSink& log,
                       Metrics& metrics, std::vector<std::string> ownHosts)
    : options_(options),
      registry_(registry),
      store_(store),
      log_(log),
      metrics_(metrics),
      ownHosts_(std::move(ownHosts)),
      token_(NewToken()) {
  static const char* const kWords[] = {"found", "notfound", "incorrect", "denied"};
  for (const char* word : kWords) {
    const std::string body = UpdatePage(word);
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Content-Type", kHtml);
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "Connection", "close");
    updateReplies_.emplace(word, response);
  }
}

HttpServer::~HttpServer() {
  Stop();
  for (auto& [word, response] : updateReplies_) MHD_destroy_response(response);
}

void HttpServer::Stop() {
  for (MHD_Daemon* daemon : daemons_) MHD_stop_daemon(daemon);
  daemons_.clear();
}

bool HttpServer::Serve(int listenFd, bool metricsOnly, std::string& error) {
  struct Access {
    static MHD_Result Handler(void* cls, MHD_Connection* c, const char*, const char* method,
                              const char* version, const char* data, size_t* size, void** context) {
      return static_cast<HttpServer*>(cls)->Handle(c, method, version, data, size, context, false);
    }
    static MHD_Result MetricsHandler(void* cls, MHD_Connection* c, const char*, const char* method,
                                     const char* version, const char* data, size_t* size, void** context) {
      return static_cast<HttpServer*>(cls)->Handle(c, method, version, data, size, context, true);
    }
    static MHD_Result Policy(void* cls, const sockaddr* address, socklen_t) {
      return static_cast<HttpServer*>(cls)->AdmitPeer(address) ? MHD_YES : MHD_NO;
    }
    static void Notify(void* cls, MHD_Connection* c, void** socketContext,
                       MHD_ConnectionNotificationCode code) {
      static_cast<HttpServer*>(cls)->OnConnection(c, socketContext, code);
    }
  };
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
  MHD_Daemon* daemon = MHD_start_daemon(
      flags, 0, &Access::Policy, this, metricsOnly ? &Access::MetricsHandler : &Access::Handler, this,
      MHD_OPTION_LISTEN_SOCKET, listenFd, MHD_OPTION_THREAD_POOL_SIZE,
      static_cast<unsigned>(metricsOnly ? 1 : options_.threads), MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned>(options_.maxConnections), MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(options_.readTimeout), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(16 * 1024), MHD_OPTION_URI_LOG_CALLBACK, &HttpServer::OnUri, this,
      MHD_OPTION_NOTIFY_COMPLETED, &HttpServer::OnCompleted, this, MHD_OPTION_NOTIFY_CONNECTION,
      &Access::Notify, this, MHD_OPTION_UNESCAPE_CALLBACK, &NoUnescape, nullptr, MHD_OPTION_END);
  if (!daemon) {
    error = "cannot start the HTTP server";
    return false;
  }
  daemons_.push_back(daemon);
  return true;
}

bool HttpServer::AdmitPeer(const sockaddr* address) {
  std::lock_guard lock(peersMutex_);
  auto it = peers_.find(PeerKey(AddressText(address)));
  return it == peers_.end() || it->second < options_.maxPerPeer;
}

void HttpServer::OnConnection(MHD_Connection* connection, void** socketContext,
                              MHD_ConnectionNotificationCode code) {
  std::lock_guard lock(peersMutex_);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const sockaddr* peer = PeerOf(connection);
    auto* key = new std::string(peer ? PeerKey(AddressText(peer)) : "?");
    ++peers_[*key];
    *socketContext = key;
  } else if (auto* key = static_cast<std::string*>(*socketContext)) {
    if (--peers_[*key] <= 0) peers_.erase(*key);
    delete key;
    *socketContext = nullptr;
  }
}

void* HttpServer::OnUri(void*, const char* uri, MHD_Connection*) {
  auto* request = new Request;
  request->uri = uri ? uri : "";
  return request;
}

void HttpServer::OnCompleted(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode code) {
  auto* request = static_cast<Request*>(*context);
  if (!request) return;
  if (!request->answered && code != MHD_REQUEST_TERMINATED_COMPLETED_OK) {
    // Refused by libmicrohttpd itself (malformed, too large) or never finished: one line too.
    static const char* const kWhy[] = {"completed",       "error",      "timed out",
                                       "server stopping", "read error", "client closed"};
    const char* why = static_cast<unsigned>(code) < 6 ? kWhy[code] : "ended";
    auto* self = static_cast<HttpServer*>(cls);
    self->log_.Line(UtcNow() + " " + (request->peer.empty() ? "-" : request->peer) + " \"" +
                    Printable(request->line.empty() ? MaskedLine("-", request->uri, "-") : request->line) +
                    "\" - " + "no reply: " + why);
  }
  delete request;
  *context = nullptr;
}

std::string HttpServer::ClientAddress(MHD_Connection* connection, const std::string& peer) {
  for (const std::string& proxy : options_.trustedProxies) {
    if (NormalAddress(proxy) != peer) continue;
    const char* forwarded = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Forwarded-For");
    if (!forwarded) return peer;
    std::string_view list(forwarded);
    std::size_t comma = list.rfind(',');
    std::string_view last = comma == std::string_view::npos ? list : list.substr(comma + 1);
    while (!last.empty() && last.front() == ' ') last.remove_prefix(1);
    while (!last.empty() && last.back() == ' ') last.remove_suffix(1);
    const std::string address = NormalAddress(last);
    return address.empty() ? peer : address;
  }
  return peer;
}

bool HttpServer::IsOwnHost(const std::string& host) const {
  for (const std::string& own : ownHosts_)
    if (EqualsNoCase(own, host)) return true;
  for (const std::string& own : options_.allowHosts)
    if (EqualsNoCase(own, host)) return true;
  return false;
}

MHD_Result HttpServer::Handle(MHD_Connection* connection, const char* method, const char* version,
                              const char* uploadData, size_t* uploadSize, void** context, bool metricsOnly) {
  auto* request = static_cast<Request*>(*context);
  if (!request) return MHD_NO;
  if (!request->started) {
    request->started = true;
    request->line = MaskedLine(method, request->uri, version);
    const sockaddr* peer = PeerOf(connection);
    request->peer = peer ? PeerText(peer) : "?";
    return MHD_YES;
  }
  if (*uploadSize) {
    if (request->body.size() + *uploadSize > kMaxBody)
      request->tooLarge = true;
    else
      request->body.append(uploadData, *uploadSize);
    *uploadSize = 0;
    return MHD_YES;
  }
  Reply reply = Route(connection, *request, metricsOnly);
  MHD_Response* response = reply.shared;
  if (!response) {
    response = MHD_create_response_from_buffer(reply.body.size(), reply.body.data(), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Content-Type", reply.type);
    MHD_add_response_header(response, "Cache-Control", "no-store");
    // One request per connection, as the clients speak: a browser's kept-alive connection
    // would hold one of its peer's few places.
    MHD_add_response_header(response, "Connection", "close");
    if (reply.askCredentials)
      MHD_add_response_header(response, "WWW-Authenticate", "Basic realm=\"quorvel\"");
  }
  MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  if (!reply.shared) MHD_destroy_response(response);
  request->answered = true;
  metrics_.ObserveSeconds(std::chrono::duration<double>(Clock::now() - request->start).count());
  log_.Line(UtcNow() + " " + request->peer + " \"" + Printable(request->line) + "\" " +
            std::to_string(reply.status) + " " + reply.outcome);
  return queued;
}

HttpServer::Reply HttpServer::Route(MHD_Connection* connection, Request& request, bool metricsOnly) {
  const auto error = [](int status, std::string outcome) {
    Reply reply;
    reply.status = status;
    reply.body = ErrorPage(status);
    reply.outcome = std::move(outcome);
    return reply;
  };
  // Two lengths or two hosts leave it to chance which one a proxy in front and this server
  // each believe: refused rather than read one way here and another there.
  if (CountValues(connection, "Host") > 1 || CountValues(connection, "Content-Length") > 1)
    return error(400, "repeated Host or Content-Length");
  if (request.tooLarge) return error(413, "body too large");
  const std::string_view uri = request.uri;
  const std::size_t q = uri.find('?');
  const std::string_view path = uri.substr(0, q);
  const std::string_view query = q == std::string_view::npos ? std::string_view() : uri.substr(q + 1);
  const std::string method = request.line.substr(0, request.line.find(' '));
  const sockaddr* peerAddress = PeerOf(connection);
  const std::string peer = peerAddress ? AddressText(peerAddress) : "";

  if (metricsOnly || path == "/metrics") {
    if (path != "/metrics") return error(404, "not found");
    if (!metricsOnly && !IsLoopback(peer)) return error(404, "metrics only to loopback peers");
    Reply reply;
    reply.type = "text/plain; version=0.0.4";
    reply.body = metrics_.Text(options_.zone.empty() ? 0 : store_.PendingCount().value, log_.dropped());
    reply.outcome = "metrics";
    return reply;
  }
  const std::string client = ClientAddress(connection, peer);
  if (path == "/update") {
    if (method != "GET") return error(405, "method not allowed");
    return Update(query, client);
  }
  if (path == "/nic/update") {
    if (method != "GET") return error(405, "method not allowed");
    return DynDns(connection, query, client);
  }
  if (path == "/creer.php6") {
    if (method != "GET" && method != "POST") return error(405, "method not allowed");
    return Creation(connection, request, client);
  }
  return error(404, "not found");
}

HttpServer::Reply HttpServer::Update(std::string_view query, const std::string& client) {
  // The client sends one parameter and never escapes it: whatever follows "ip_key=" is the
  // identifier as typed, so a second parameter or an escape makes it malformed.
  Reply reply;
  std::string word, outcome;
  constexpr std::string_view kKey = "ip_key=";
  const bool hasKey = query.substr(0, kKey.size()) == kKey;
  const std::string_view id = hasKey ? query.substr(kKey.size()) : std::string_view();
  if (!hasKey || !IsSafeIdentifier(id)) {
    word = outcome = "incorrect";
  } else {
    const Registry::Updated updated = registry_.Update(IdentifierDigest(id), "", {{FamilyOf(client), client}});
    const std::string& label = updated.label;
    switch (updated.outcome) {
      case Registry::Outcome::kChanged:
        word = "found";
        outcome = "found, recorded " + client + " for " + label;
        break;
      case Registry::Outcome::kUnchanged:
        word = "found";
        outcome = "found, unchanged " + client + " for " + label;
        break;
      case Registry::Outcome::kNotFound:
        word = outcome = "notfound";
        break;
      case Registry::Outcome::kDenied:
        word = "denied";
        outcome = "denied, more than " + std::to_string(options_.maxUpdatesPerMinute) + " updates of " +
                  label + " within a minute";
        break;
      case Registry::Outcome::kStoreError:
        // Not "found": the client would take it as done. "denied" has it try again later.
        word = "denied";
        outcome = "store_error, denied: NOT recorded (" + updated.error + ")";
        break;
    }
  }
  metrics_.CountUpdate("update", outcome.substr(0, outcome.find(',')) +
                                     (outcome.find("unchanged") != std::string::npos ? "_unchanged" : ""));
  reply.shared = updateReplies_.at(word);
  reply.outcome = outcome;
  return reply;
}

HttpServer::Reply HttpServer::DynDns(MHD_Connection* connection, std::string_view query,
                                     const std::string& client) {
  Reply reply;
  reply.type = kPlain;
  const auto answer = [&](std::string word, std::string detail = "") {
    metrics_.CountUpdate("dyndns2", word.substr(0, word.find(' ')));
    reply.body = word + "\n";
    reply.outcome = "dyndns2 " + word + detail;
    return reply;
  };
  char* password = nullptr;
  char* user = MHD_basic_auth_get_username_password(connection, &password);
  const std::string login = user ? user : "";
  const std::string secret = password ? password : "";
  if (user) MHD_free(user);
  if (password) MHD_free(password);
  if (!user) {
    reply.status = 401;
    reply.askCredentials = true;
    return answer("badauth", " (no credentials)");
  }
  // The user is the label or the full name; the password the name's identifier.
  const std::string suffix = options_.zone.empty() ? "" : "." + options_.zone;
  std::string userLabel = login;
  for (char& c : userLabel) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!suffix.empty() && userLabel.size() > suffix.size() &&
      userLabel.compare(userLabel.size() - suffix.size(), suffix.size(), suffix) == 0)
    userLabel.resize(userLabel.size() - suffix.size());
  if (!IsLabel(userLabel) || !IsSafeIdentifier(secret)) return answer("badauth");

  std::string hostname = Field(query, "hostname");
  for (char& c : hostname) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!hostname.empty() && hostname.back() == '.') hostname.pop_back();
  if (hostname.find(',') != std::string::npos) return answer("numhost");
  const std::size_t dot = hostname.find('.');
  if (dot == std::string::npos) return answer("notfqdn");
  const std::string hostLabel = hostname.substr(0, dot);
  if (!suffix.empty() && hostname != hostLabel + suffix) return answer("nohost");

  // myip: one address, or an IPv4 and an IPv6 separated by a comma. One that does not parse
  // is left out and the connection's address used, as the common dyndns2 servers do.
  std::vector<std::pair<Family, std::string>> addresses;
  std::string myip = Field(query, "myip");
  std::string_view rest = myip;
  while (!rest.empty()) {
    std::size_t comma = rest.find(',');
    const std::string address = NormalAddress(rest.substr(0, comma));
    if (!address.empty()) addresses.emplace_back(FamilyOf(address), address);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (addresses.empty()) addresses.emplace_back(FamilyOf(client), client);
  std::string shown;
  for (const auto& [family, address] : addresses) shown += (shown.empty() ? "" : ",") + address;

  const Registry::Updated updated = registry_.Update(IdentifierDigest(secret), userLabel, addresses);
  const std::string& label = updated.label;
  switch (updated.outcome) {
    case Registry::Outcome::kChanged:
      return answer("good " + shown, " for " + label);
    case Registry::Outcome::kUnchanged:
      return answer("nochg " + shown, " for " + label);
    case Registry::Outcome::kNotFound:
      return answer("badauth");
    case Registry::Outcome::kDenied:
      return answer("abuse", ", more than " + std::to_string(options_.maxUpdatesPerMinute) + " updates of " +
                                 label + " within a minute");
    case Registry::Outcome::kStoreError:
      return answer("911", " (store: " + updated.error + ")");
  }
  return answer("911");
}

HttpServer::Reply HttpServer::Creation(MHD_Connection* connection, Request& request,
                                       const std::string& client) {
  Reply reply;
  const auto refused = [&](int status, std::string outcome, std::string_view explanation) {
    reply.status = status;
    reply.body = RefusedPage(explanation);
    reply.outcome = "creation refused: " + outcome;
    return reply;
  };
  const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
  if (!host || !IsOwnHost(host)) {
    return refused(
        403, "Host " + (host ? "\"" + Printable(host) + "\"" : std::string("none")) + " is not this server's",
        "Ouvrez la page de création à l'adresse de ce serveur.");
  }
  if (request.line.rfind("GET ", 0) == 0) {
    reply.body = CreationForm(token_, options_.zone);
    reply.outcome = "creation page";
    return reply;
  }
  // Any page a browser shows can post a form here: only this run's own form is taken.
  const std::string jeton = Field(request.body, "jeton");
  unsigned char differ = jeton.size() != token_.size();
  for (std::size_t i = 0; i < jeton.size() && i < token_.size(); ++i) differ |= jeton[i] ^ token_[i];
  if (differ) {
    return refused(403, "no valid form token",
                   "Ce formulaire ne vient pas de la page de création de ce serveur. "
                   "Rechargez la page de création et réessayez.");
  }
  if (options_.maxCreationsPerMinute == 0)
    return refused(403, "turned off", "Ce serveur ne crée pas d'identifiant.");
  std::string label = Field(request.body, "nom");
  for (char& c : label) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!IsLabel(label)) {
    return refused(400, "invalid name \"" + Printable(label) + "\"",
                   "Le nom doit faire de 1 à 63 caractères : lettres minuscules, chiffres et traits "
                   "d'union (pas au début ni à la fin).");
  }
  const std::string peerKey = PeerKey(client);
  const auto now = Clock::now();
  {
    std::lock_guard lock(creationMutex_);
    for (auto it = creations_.begin(); it != creations_.end();) {
      auto& times = it->second;
      while (!times.empty() && now - times.front() >= std::chrono::minutes(1)) times.pop_front();
      it = times.empty() ? creations_.erase(it) : std::next(it);
    }
    auto it = creations_.find(peerKey);
    if (it != creations_.end() &&
        it->second.size() >= static_cast<std::size_t>(options_.maxCreationsPerMinute)) {
      return refused(429, "too many from " + client + " this minute",
                     "Trop d'identifiants ont été créés depuis votre adresse. Réessayez dans une minute.");
    }
  }
  const std::size_t count = store_.Count().value;
  if (count >= static_cast<std::size_t>(options_.maxNames)) {
    return refused(507, "store full (" + std::to_string(count) + " names)",
                   "Ce serveur n'accepte plus de nouvel identifiant.");
  }
  const std::string id = NewIdentifier();
  const Result<NameStore::Added> added = registry_.Add(label, IdentifierDigest(id));
  if (!added.ok()) {
    reply.status = 500;
    reply.body = Page("Quorvel : erreur",
                      "<h1>Erreur</h1>\n<p>L'identifiant n'a pas pu être enregistré. Réessayez plus tard.</p>\n");
    reply.outcome = "creation failed (store: " + added.error + ")";
    return reply;
  }
  if (added.value == NameStore::Added::kTaken)
    return refused(409, "name " + label + " taken", "Ce nom est déjà pris : choisissez-en un autre.");
  {
    std::lock_guard lock(creationMutex_);
    creations_[peerKey].push_back(now);
  }
  const std::string fullName = options_.zone.empty() ? label : label + "." + options_.zone;
  reply.body = CreatedPage(id, fullName);
  reply.outcome = "created " + label;  // never the identifier: the log is not a secret
  return reply;
}

}  // namespace qserver
