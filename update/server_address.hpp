// Where the update server and the service's web site are: a built-in host on port 80,
// or QUORVEL_SERVER ("host", "host:port", "[IPv6 address]:port" or a bare IPv6 address) for a run pointed at
// another server.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

inline constexpr wchar_t kDefaultServiceHost[] = L"www.quorvel.fr";
inline constexpr std::int32_t kDefaultServicePort = 80;

struct ServerAddress {
  std::wstring host = kDefaultServiceHost;
  std::int32_t port = kDefaultServicePort;
  // The host as the user sees it in the banner and the creation page's address: with its
  // port when that is not 80.
  std::wstring WebHost() const;
  // The override text when it was malformed and therefore not used; empty otherwise.
  std::wstring rejected;
};

// The first line of the log: the program and the server it updates.
inline std::wstring BannerLine(const ServerAddress& address) {
  return L"Quorvel Version 2.0 - " + address.WebHost();
}

// Reads the override text (the environment variable's value; empty means none).
// A text whose port is not a number from 1 to 65535 is not used: the built-in host is, and the
// text is kept in `rejected` so that the program can say so.
ServerAddress ParseServerAddress(const std::wstring& overrideText);

// The override from the environment of this process.
ServerAddress ServerAddressFromEnvironment();

}  // namespace quorvel
