// Where the update server and the service's web site are: a built-in host on port 80, or a
// server given as "host", "host:port", "[IPv6 address]:port" (or a bare IPv6 address) or
// "http://" followed by one of those and an optional "/"; or "https://" and the same, on port 443
// by default, where the program has TLS. The one reading of that text for the window's stored
// "serveur", QUORVEL_SERVER, the installer's check and quorveld.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

inline constexpr wchar_t kDefaultServiceHost[] = L"www.quorvel.fr";
inline constexpr std::int32_t kDefaultServicePort = 80;
inline constexpr std::int32_t kDefaultTlsPort = 443;

// Whether the program reading the text can reach a server over TLS.
enum class TlsSupport { kNone, kAvailable };

// Why a server text is not used. Each is an error for the program: never the built-in host
// instead, where the identifier was never meant to go.
enum class ServerRefusal {
  kNone,
  kSpace,     // a space or a control character: it would break the request's Host line
  kTls,       // "https://" where the program has no TLS yet
  kScheme,    // another "scheme://"
  kPath,      // a path, query or fragment after the host
  kNoHost,    // nothing where the host goes
  kHostChar,  // a character no host name or address has
  kIpv6,      // an IPv6 address without its closing bracket, or text after it
  kPort,      // a port that is not a number from 1 to 65535
};

struct ServerAddress {
  std::wstring host = kDefaultServiceHost;
  std::int32_t port = kDefaultServicePort;
  // Reached over TLS ("https://"); the request inside is the same.
  bool tls = false;
  // The host as the user sees it in the banner and the creation page's address: with its
  // port when that is not 80; over TLS, "https://" then the host, with its port when not 443.
  std::wstring WebHost() const;
  // The text as given (trimmed) when it was refused; empty otherwise. A refused text leaves
  // host and port at the built-in ones, which the program must then not use.
  std::wstring rejected;
  ServerRefusal refusal = ServerRefusal::kNone;
};

// The first line of the log: the program and the server it updates.
inline std::wstring BannerLine(const ServerAddress& address) {
  return L"Quorvel Version 2.0 - " + address.WebHost();
}

// The reason, in the program's words ("le port doit être un nombre de 1 à 65535").
const wchar_t* RefusalReason(ServerRefusal refusal);

// Reads a server text; an empty one (or only spaces) means the built-in host. Without TLS,
// "https://" is refused: never plain HTTP for a server asked for with TLS.
ServerAddress ParseServerAddress(const std::wstring& text, TlsSupport tls = TlsSupport::kNone);

// QUORVEL_SERVER from the environment of this process.
ServerAddress ServerAddressFromEnvironment(TlsSupport tls = TlsSupport::kNone);

}  // namespace quorvel
