// Any ADDR:PORT an option may carry: what parses is written back as text that parses to the
// same endpoint, and its socket address has the family and port it says.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/endpoint.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto endpoint = qserver::ParseEndpoint(text);
  if (!endpoint) return 0;
  if (endpoint->port < 0 || endpoint->port > 65535) std::abort();
  const auto again = qserver::ParseEndpoint(endpoint->Text());
  if (!again || again->address != endpoint->address || again->port != endpoint->port ||
      again->v6 != endpoint->v6)
    std::abort();
  sockaddr_storage storage;
  const socklen_t length = endpoint->ToSockaddr(storage);
  if (storage.ss_family != (endpoint->v6 ? AF_INET6 : AF_INET)) std::abort();
  if (length != (endpoint->v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in))) std::abort();
  return 0;
}
