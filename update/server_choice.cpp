#include "update/server_choice.hpp"

#include <cstdlib>

#include "common/text.hpp"

namespace quorvel {

ServerChoice ChooseServerAddress(const std::wstring& storedText) {
  const char* variable = std::getenv("QUORVEL_SERVER");
  if (variable && !TrimSpaces(FromAnsi(variable)).empty()) return {ServerAddressFromEnvironment(), {}};
  const ServerAddress address = ParseServerAddress(storedText);
  if (!address.rejected.empty()) return {ServerAddress{}, address.rejected};
  return {address, {}};
}

}  // namespace quorvel
