#include "update/server_address.hpp"

#include <cstdlib>

#include "common/text.hpp"
#include "update/identifier.hpp"

namespace quorvel {

namespace {

// ASCII letters and digits only: the locale must not decide what a host is.
bool AsciiAlnum(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9'); }

// A host name (letters, digits, '.', '-', '_', and letters beyond ASCII for an international
// name) or, with colons, an IPv6 address with an optional "%zone".
bool HostCharactersFit(const std::wstring& host, bool ipv6) {
  for (const wchar_t c : host) {
    if (AsciiAlnum(c) || c == L'.' || c >= 0x80) continue;
    if (!ipv6 && (c == L'-' || c == L'_')) continue;
    if (ipv6 && (c == L':' || c == L'%')) continue;
    return false;
  }
  return true;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const wchar_t c = text[i] >= L'A' && text[i] <= L'Z' ? static_cast<wchar_t>(text[i] - L'A' + L'a') : text[i];
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::wstring ServerAddress::WebHost() const {
  // An IPv6 address is written in brackets, so that its colons are not read as the port's.
  const std::wstring shown = (tls ? L"https://" : L"") +
                             (host.find(L':') != std::wstring::npos ? L"[" + host + L"]" : host);
  if (port == (tls ? kDefaultTlsPort : kDefaultServicePort)) return shown;
  return shown + L":" + DecimalText(port);
}

const wchar_t* RefusalReason(ServerRefusal refusal) {
  switch (refusal) {
    case ServerRefusal::kNone:
      return L"";
    case ServerRefusal::kSpace:
      return L"espace ou caractère de contrôle";
    case ServerRefusal::kTls:
      return L"https:// n'est pas encore pris en charge";
    case ServerRefusal::kScheme:
      return L"seul http:// ou https:// peut précéder l'hôte";
    case ServerRefusal::kPath:
      return L"rien après l'hôte et le port, sauf un / final";
    case ServerRefusal::kNoHost:
      return L"hôte manquant";
    case ServerRefusal::kHostChar:
      return L"caractère impossible dans un nom d'hôte";
    case ServerRefusal::kIpv6:
      return L"une adresse IPv6 s'écrit [adresse]:port";
    case ServerRefusal::kPort:
      return L"le port doit être un nombre de 1 à 65535";
  }
  return L"";
}

ServerAddress ParseServerAddress(const std::wstring& given, TlsSupport support) {
  const std::wstring text = TrimSpaces(given);
  ServerAddress address;
  if (text.empty()) return address;
  const auto refused = [&text](ServerRefusal why) {
    ServerAddress none;
    none.rejected = text;
    none.refusal = why;
    return none;
  };
  // The host goes into the request's Host line: a space or a line end there is not a host.
  if (text.find(L' ') != std::wstring::npos || HasControlCharacter(text)) return refused(ServerRefusal::kSpace);
  std::wstring rest = text;
  bool tls = false;
  if (const size_t scheme = text.find(L"://"); scheme != std::wstring::npos) {
    tls = StartsWithNoCase(text, L"https://");
    // Never plain HTTP for a server asked for with TLS: the identifier would travel in clear.
    if (tls && support != TlsSupport::kAvailable) return refused(ServerRefusal::kTls);
    if (!tls && !StartsWithNoCase(text, L"http://")) return refused(ServerRefusal::kScheme);
    rest = text.substr(tls ? 8 : 7);
    if (!rest.empty() && rest.back() == L'/') rest.pop_back();
  }
  if (rest.find_first_of(L"/?#") != std::wstring::npos) return refused(ServerRefusal::kPath);
  std::wstring host = rest;
  std::wstring port;
  bool ipv6 = false;
  if (!rest.empty() && rest[0] == L'[') {
    // "[IPv6 address]" or "[IPv6 address]:port".
    const size_t close = rest.find(L']');
    if (close == std::wstring::npos) return refused(ServerRefusal::kIpv6);
    if (close == 1) return refused(ServerRefusal::kNoHost);
    host = rest.substr(1, close - 1);
    const std::wstring after = rest.substr(close + 1);
    if (!after.empty() && after[0] != L':') return refused(ServerRefusal::kIpv6);
    if (!after.empty()) {
      port = after.substr(1);
      if (port.empty()) return refused(ServerRefusal::kPort);
    }
    ipv6 = true;
  } else if (rest.find(L':') != rest.rfind(L':')) {
    // Two colons or more: a bare IPv6 address, on the default port.
    ipv6 = true;
  } else if (const size_t colon = rest.find(L':'); colon != std::wstring::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (port.empty()) return refused(ServerRefusal::kPort);
  }
  if (host.empty()) return refused(ServerRefusal::kNoHost);
  if (!HostCharactersFit(host, ipv6)) return refused(ipv6 ? ServerRefusal::kIpv6 : ServerRefusal::kHostChar);
  std::int32_t value = tls ? kDefaultTlsPort : kDefaultServicePort;
  if (!port.empty()) {
    if (port.size() > 5) return refused(ServerRefusal::kPort);
    value = 0;
    for (const wchar_t c : port) {
      if (c < L'0' || c > L'9') return refused(ServerRefusal::kPort);
      value = value * 10 + (c - L'0');
    }
    if (value < 1 || value > 65535) return refused(ServerRefusal::kPort);
  }
  address.host = host;
  address.port = value;
  address.tls = tls;
  return address;
}

ServerAddress ServerAddressFromEnvironment(TlsSupport tls) {
  const char* value = std::getenv("QUORVEL_SERVER");
  return ParseServerAddress(value ? FromAnsi(value) : std::wstring(), tls);
}

}  // namespace quorvel
