#include "tools/http_exchange.hpp"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <random>

namespace refserver {

namespace {

constexpr std::string_view kUpdatePage = "/update";
constexpr std::string_view kKeyPrefix = "ip_key=";
constexpr std::string_view kCreationPage = "/creer.php6";
constexpr std::string_view kMarker = "<!-- OSKEL_START_HTML -->";

bool IsTokenChar(char c) { return c >= 'A' && c <= 'Z'; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Splits the request line as method, target, version. The client sends the identifier
// unescaped, so a typed space lands inside the target: the method is the first word, the
// version the last, and the target everything between.
bool ParseRequestLine(std::string_view line, RequestHead& head) {
  for (char c : line) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  std::size_t first = line.find(' ');
  std::size_t last = line.rfind(' ');
  if (first == std::string_view::npos || first == last) return false;
  std::string_view method = line.substr(0, first);
  std::string_view target = line.substr(first + 1, last - first - 1);
  std::string_view version = line.substr(last + 1);
  if (method.empty()) return false;
  for (char c : method) {
    if (!IsTokenChar(c)) return false;
  }
  if (target.empty() || target.front() != '/') return false;
  if (version != "HTTP/1.0" && version != "HTTP/1.1") return false;
  head.requestLine = std::string(line);
  head.method = std::string(method);
  head.target = std::string(target);
  return true;
}

bool ParseHeaderLine(std::string_view line, RequestHead& head) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view name = line.substr(0, colon);
  for (char c : name) {
    if (c == ' ' || c == '\t' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  std::string_view value = TrimBlanks(line.substr(colon + 1));
  // Two lengths or two hosts leave it to chance which one a proxy in front and this server
  // each believe: the request is refused rather than read one way here and another there.
  if (EqualsNoCase(name, "Host")) {
    if (head.hasHost) return false;
    head.hasHost = true;
    head.host = std::string(value);
  } else if (EqualsNoCase(name, "Content-Length")) {
    if (head.hasContentLength || value.empty() || value.size() > 9) return false;
    head.hasContentLength = true;
    std::size_t length = 0;
    for (char c : value) {
      if (c < '0' || c > '9') return false;
      length = length * 10 + static_cast<std::size_t>(c - '0');
    }
    head.contentLength = length;
  }
  return true;
}

std::string Page(std::string_view title, std::string_view content) {
  std::string html = "<!DOCTYPE html>\n<html lang=\"fr\">\n<head><meta charset=\"utf-8\"><title>";
  html += title;
  html += "</title></head>\n<body>\n";
  html += content;
  html += "</body>\n</html>\n";
  return html;
}

Reply UpdateReply(std::string_view query, const std::string& peerAddress, const std::string& now,
                  IdStore& store) {
  // The client sends one parameter and never escapes it: whatever follows "ip_key=" is the
  // identifier as typed, so a second parameter or an escape makes it malformed.
  std::string word;
  std::string outcome;
  const bool hasKey = query.substr(0, kKeyPrefix.size()) == kKeyPrefix;
  const std::string id = hasKey ? std::string(query.substr(kKeyPrefix.size())) : std::string();
  if (!hasKey || !IsSafeIdentifier(id)) {
    word = outcome = "incorrect";
  } else if (!store.Contains(id)) {
    word = outcome = "notfound";
  } else {
    word = "found";
    outcome = "found, recorded " + peerAddress;
    if (!store.RecordUpdate(id, peerAddress, now)) outcome = "found, NOT recorded (store not writable)";
  }
  // The status word ends the body: the client joins all lines before reading it, so nothing
  // may follow it.
  Reply reply;
  reply.body = Page("Quorvel", "<p>Mise &agrave; jour de l'adresse IP.</p>\n") +
               std::string(kMarker) + word;
  reply.outcome = outcome;
  return reply;
}

// The French explanation a refused creation shows in the browser.
Reply CreationRefused(int status, std::string outcome, std::string_view explanation) {
  Reply reply = ErrorReply(status, std::move(outcome));
  reply.body = Page("Quorvel : création refusée",
                    "<h1>Création refusée</h1>\n<p>" + std::string(explanation) + "</p>\n");
  return reply;
}

Reply CreationForm(const std::string& token) {
  Reply reply;
  reply.outcome = "creation page";
  reply.body = Page("Quorvel : créer un identifiant unique",
                    "<h1>Créer un identifiant unique</h1>\n"
                    "<p>Quorvel met à jour l'adresse IP de votre connexion sous un identifiant "
                    "unique. Créez le vôtre ici, puis recopiez-le dans Quorvel.</p>\n"
                    "<form method=\"post\" action=\"/creer.php6\">\n"
                    "<input type=\"hidden\" name=\"nouveau\" value=\"1\">\n"
                    "<input type=\"hidden\" name=\"jeton\" value=\"" + token + "\">\n"
                    "<button type=\"submit\">Créer mon identifiant</button>\n"
                    "</form>\n");
  return reply;
}

Reply CreatedPage(IdStore& store, std::string_view body, const std::string& peerAddress,
                  CreationGuard& guard) {
  if (!guard.HasToken(body)) {
    return CreationRefused(403, "creation refused: no valid form token",
                           "Ce formulaire ne vient pas de la page de création de ce serveur. "
                           "Rechargez la page de création et réessayez.");
  }
  if (guard.rules().perPeerPerMinute == 0) {
    return CreationRefused(403, "creation refused: turned off",
                           "Ce serveur ne crée pas d'identifiant.");
  }
  const auto now = CreationGuard::Clock::now();
  if (!guard.UnderRate(peerAddress, now)) {
    return CreationRefused(429, "creation refused: too many from " + peerAddress + " this minute",
                           "Trop d'identifiants ont été créés depuis votre adresse. "
                           "Réessayez dans une minute.");
  }
  if (store.size() >= guard.rules().maxIdentifiers) {
    return CreationRefused(507, "creation refused: store full (" + std::to_string(store.size()) +
                                    " identifiers)",
                           "Ce serveur n'accepte plus de nouvel identifiant.");
  }
  std::string id = store.CreateIdentifier();
  if (id.empty()) {
    Reply reply = ErrorReply(500, "creation failed (store not writable)");
    reply.body = Page("Quorvel : erreur",
                      "<h1>Erreur</h1>\n<p>L'identifiant n'a pas pu être enregistré. "
                      "Réessayez plus tard.</p>\n");
    return reply;
  }
  guard.Count(peerAddress, now);
  Reply reply;
  reply.outcome = "created " + id;
  reply.body = Page("Quorvel : votre identifiant unique",
                    "<h1>Votre identifiant unique</h1>\n"
                    "<p id=\"identifiant\" style=\"font-size:2em\"><strong>" + id +
                        "</strong></p>\n"
                        "<p>Recopiez-le dans Quorvel, dans la case « Votre identifiant unique: », "
                        "puis cliquez sur « Activer le service ».</p>\n"
                        "<p><a href=\"/creer.php6\">Créer un autre identifiant</a></p>\n");
  return reply;
}

const char* StatusText(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 507: return "Insufficient Storage";
    default: return "Error";
  }
}

}  // namespace

HeadStatus ParseHead(std::string_view received, RequestHead& head, std::size_t& headLength) {
  // Lines end in CR LF; a bare LF is accepted too.
  std::size_t end = std::string_view::npos;
  std::size_t terminator = 0;
  for (std::size_t i = 0; i < received.size(); ++i) {
    if (received[i] != '\n') continue;
    if (i + 1 < received.size() && received[i + 1] == '\n') { end = i; terminator = 2; break; }
    if (i + 2 < received.size() && received[i + 1] == '\r' && received[i + 2] == '\n') {
      end = i; terminator = 3; break;
    }
  }
  if (end == std::string_view::npos) {
    return received.size() > kMaxHeadBytes ? HeadStatus::kTooLarge : HeadStatus::kIncomplete;
  }
  if (end + terminator > kMaxHeadBytes) return HeadStatus::kTooLarge;
  headLength = end + terminator;

  head = RequestHead{};
  std::string_view text = received.substr(0, end);
  bool firstLine = true;
  while (true) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    bool ok = firstLine ? ParseRequestLine(line, head) : ParseHeaderLine(line, head);
    if (!ok) return HeadStatus::kMalformed;
    firstLine = false;
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return HeadStatus::kComplete;
}

bool CreationGuard::IsOwnHost(const RequestHead& head) const {
  if (!head.hasHost) return false;
  for (const std::string& host : rules_.hosts) {
    if (EqualsNoCase(head.host, host)) return true;
  }
  return false;
}

bool CreationGuard::HasToken(std::string_view body) const {
  // application/x-www-form-urlencoded: name=value pairs joined by '&'; the token is hex, so
  // it arrives unescaped.
  while (!body.empty()) {
    std::size_t amp = body.find('&');
    std::string_view field = body.substr(0, amp);
    if (field.substr(0, 6) == "jeton=" && !rules_.token.empty()) {
      std::string_view value = field.substr(6);
      if (value.size() != rules_.token.size()) return false;
      unsigned char differ = 0;  // the same time whichever digit differs
      for (std::size_t i = 0; i < value.size(); ++i) differ |= value[i] ^ rules_.token[i];
      return differ == 0;
    }
    if (amp == std::string_view::npos) break;
    body.remove_prefix(amp + 1);
  }
  return false;
}

bool CreationGuard::UnderRate(const std::string& peerAddress, Clock::time_point now) {
  // Forget what is over a minute old, and peers with nothing left, so the table stays small.
  for (auto it = recent_.begin(); it != recent_.end();) {
    auto& times = it->second;
    while (!times.empty() && now - times.front() >= std::chrono::minutes(1)) times.pop_front();
    it = times.empty() ? recent_.erase(it) : std::next(it);
  }
  auto it = recent_.find(peerAddress);
  return (it == recent_.end() ? 0 : it->second.size()) < rules_.perPeerPerMinute;
}

void CreationGuard::Count(const std::string& peerAddress, Clock::time_point now) {
  recent_[peerAddress].push_back(now);
}

std::string NewFormToken() {
  std::random_device random;
  std::string token;
  for (int i = 0; i < 4; ++i) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(random()));
    token += hex;
  }
  return token;
}

Reply Answer(const RequestHead& head, std::string_view body, const std::string& peerAddress,
             const std::string& now, IdStore& store, CreationGuard& guard) {
  std::string_view target = head.target;
  std::size_t q = target.find('?');
  std::string_view path = target.substr(0, q);
  std::string_view query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);

  if (path == kUpdatePage) {
    if (head.method != "GET") return ErrorReply(405, "method not allowed");
    return UpdateReply(query, peerAddress, now, store);
  }
  if (path == kCreationPage) {
    if (head.method != "GET" && head.method != "POST") return ErrorReply(405, "method not allowed");
    if (!guard.IsOwnHost(head)) {
      std::string shown = "none";
      if (head.hasHost) shown = '"' + PrintableRequestLine(head.host) + '"';
      return CreationRefused(403, "creation refused: Host " + shown + " is not this server's",
                             "Ouvrez la page de création à l'adresse de ce serveur.");
    }
    if (head.method == "GET") return CreationForm(guard.rules().token);
    return CreatedPage(store, body, peerAddress, guard);
  }
  return ErrorReply(404, "not found");
}

Reply ErrorReply(int status, std::string outcome) {
  Reply reply;
  reply.status = status;
  reply.outcome = std::move(outcome);
  reply.body = Page(std::to_string(status) + " " + StatusText(status),
                    "<h1>" + std::to_string(status) + " " + StatusText(status) + "</h1>\n");
  return reply;
}

std::string Serialize(const Reply& reply) {
  std::string text = "HTTP/1.0 " + std::to_string(reply.status) + " " + StatusText(reply.status) +
                     "\r\n";
  text += "Content-Type: text/html; charset=utf-8\r\n";
  text += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  text += "Cache-Control: no-store\r\n";
  text += "Connection: close\r\n\r\n";
  text += reply.body;
  return text;
}

std::string PrintableRequestLine(std::string_view line) {
  constexpr std::size_t kMaxShown = 200;
  std::string out;
  for (std::size_t i = 0; i < line.size() && i < kMaxShown; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (line.size() > kMaxShown) out += "...";
  return out;
}

std::string UtcNow() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace refserver
