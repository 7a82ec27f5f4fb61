#include "update/server_address.hpp"

#include <cstdlib>

#include "common/text.hpp"
#include "update/identifier.hpp"

namespace quorvel {

std::wstring ServerAddress::WebHost() const {
  // An IPv6 address is written in brackets, so that its colons are not read as the port's.
  const std::wstring shown = host.find(L':') != std::wstring::npos ? L"[" + host + L"]" : host;
  if (port == kDefaultServicePort) return shown;
  return shown + L":" + DecimalText(port);
}

ServerAddress ParseServerAddress(const std::wstring& overrideText) {
  const std::wstring text = TrimSpaces(overrideText);
  ServerAddress address;
  if (text.empty()) return address;
  ServerAddress rejected;
  rejected.rejected = text;
  // The host goes into the request's Host line: a space or a line end there is not a host.
  if (text.find(L' ') != std::wstring::npos || HasControlCharacter(text)) return rejected;
  std::wstring host = text;
  std::wstring port;
  if (text[0] == L'[') {
    // "[IPv6 address]" or "[IPv6 address]:port".
    const size_t close = text.find(L']');
    if (close == std::wstring::npos || close == 1) return rejected;
    host = text.substr(1, close - 1);
    const std::wstring rest = text.substr(close + 1);
    if (!rest.empty() && (rest[0] != L':' || rest.size() == 1)) return rejected;
    if (!rest.empty()) port = rest.substr(1);
    if (host.find_first_of(L"[]") != std::wstring::npos) return rejected;
  } else if (text.find(L':') != text.rfind(L':')) {
    // Two colons or more: a bare IPv6 address, on the default port.
  } else if (const size_t colon = text.find(L':'); colon != std::wstring::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) return rejected;
  }
  if (host.empty()) return rejected;
  if (port.empty()) {
    address.host = host;
    return address;
  }
  if (port.size() > 5) return rejected;
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
