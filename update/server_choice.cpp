#include "update/server_choice.hpp"

#include <cstdlib>

#include "common/text.hpp"

namespace quorvel {

ServerChoice ChooseServerAddress(const std::wstring& storedText) {
  const char* variable = std::getenv("QUORVEL_SERVER");
  const std::wstring overrideText = variable ? FromAnsi(variable) : std::wstring();
  if (!TrimSpaces(overrideText).empty()) return {ParseServerAddress(overrideText), {}};
  const ServerAddress address = ParseServerAddress(storedText);
  if (!address.rejected.empty()) return {ServerAddress{}, address.rejected};
  return {address, {}};
}

}  // namespace quorvel
