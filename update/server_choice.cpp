#include "update/server_choice.hpp"

#include <cstdlib>

#include "common/text.hpp"

namespace quorvel {

ServerChoice ChooseServerAddress(const std::wstring& storedText) {
  const char* variable = std::getenv("QUORVEL_SERVER");
  if (variable && !TrimSpaces(FromAnsi(variable)).empty()) return {ServerAddressFromEnvironment(), {}};
  const std::wstring text = TrimSpaces(storedText);
  if (text.empty()) return {};
  const ServerAddress address = ParseServerAddress(text);
  // The parser falls back to the built-in host on a text it cannot read: only a text that
  // reads back as the address it gave was accepted.
  if (address.WebHost() != text && address.host + L":" + DecimalText(address.port) != text) {
    return {ServerAddress{}, text};
  }
  return {address, {}};
}

}  // namespace quorvel
