#include "update/server_address.hpp"

#include <cstdlib>

#include "common/text.hpp"
#include "update/identifier.hpp"

namespace quorvel {

std::wstring ServerAddress::WebHost() const {
  if (port == kDefaultServicePort) return host;
  return host + L":" + DecimalText(port);
}

ServerAddress ParseServerAddress(const std::wstring& overrideText) {
  const std::wstring text = TrimSpaces(overrideText);
  ServerAddress address;
  if (text.empty()) return address;
  ServerAddress rejected;
  rejected.rejected = text;
  // The host goes into the request's Host line: a space or a line end there is not a host.
  if (text.find(L' ') != std::wstring::npos || HasControlCharacter(text)) return rejected;
  const size_t colon = text.rfind(L':');
  if (colon == std::wstring::npos) {
    address.host = text;
    return address;
  }
  const std::wstring host = text.substr(0, colon);
  const std::wstring port = text.substr(colon + 1);
  if (host.empty() || port.empty() || port.size() > 5) return rejected;
  std::int32_t value = 0;
  for (const wchar_t c : port) {
    if (c < L'0' || c > L'9') return rejected;
    value = value * 10 + (c - L'0');
  }
  if (value < 1 || value > 65535) return rejected;
  address.host = host;
  address.port = value;
  return address;
}

ServerAddress ServerAddressFromEnvironment() {
  const char* value = std::getenv("QUORVEL_SERVER");
  return ParseServerAddress(value ? FromAnsi(value) : std::wstring());
}

}  // namespace quorvel
