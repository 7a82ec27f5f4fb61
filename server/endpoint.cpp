#include "server/endpoint.hpp"

#include <arpa/inet.h>

#include <cstdlib>

namespace qserver {

std::string Endpoint::Host() const {
  if (!v6) return address;
  std::string host(1, '[');
  host.append(address).push_back(']');
  return host;
}

std::string Endpoint::Text() const { return Host() + ":" + std::to_string(port); }

socklen_t Endpoint::ToSockaddr(sockaddr_storage& storage) const {
  storage = {};
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
    return sizeof *a;
  }
  auto* a = reinterpret_cast<sockaddr_in*>(&storage);
  a->sin_family = AF_INET;
  a->sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address.c_str(), &a->sin_addr);
  return sizeof *a;
}

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
  Endpoint endpoint;
  std::size_t colon;
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return {};
    endpoint.address = text.substr(1, close - 1);
    endpoint.v6 = true;
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string::npos) return {};
    endpoint.address = text.substr(0, colon);
  }
  unsigned char buffer[16];
  if (::inet_pton(endpoint.v6 ? AF_INET6 : AF_INET, endpoint.address.c_str(), buffer) != 1) return {};
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return {};
  endpoint.port = std::atoi(port.c_str());
  if (endpoint.port > 65535) return {};
  return endpoint;
}

}  // namespace qserver
