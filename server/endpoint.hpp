// An address and port as the options write them, and the socket address they name.
#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>

namespace qserver {

// An address and port as written: "127.0.0.1:80", "[::1]:8080", "0.0.0.0:0".
struct Endpoint {
  std::string address;  // without brackets
  int port = 0;
  bool v6 = false;
  std::string Host() const;  // the address, in brackets for IPv6
  std::string Text() const;  // as written: Host() and the port
  // The socket address; returns its length.
  socklen_t ToSockaddr(sockaddr_storage& storage) const;
  bool operator==(const Endpoint&) const = default;
};
std::optional<Endpoint> ParseEndpoint(const std::string& text);

}  // namespace qserver
