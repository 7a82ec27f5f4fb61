// Which update server this run uses: QUORVEL_SERVER when it is set (tests, the demo), else the
// stored "serveur" value a user or the installer chose, else the built-in host.
#pragma once

#include <string>

#include "update/server_address.hpp"

namespace quorvel {

struct ServerChoice {
  ServerAddress address;
  // A stored value that is not "host" or "host:port" (port 1 to 65535): not used, and said so.
  std::wstring ignoredStoredText;
};

// storedText: the "serveur" value as read (empty when there is none).
ServerChoice ChooseServerAddress(const std::wstring& storedText);

}  // namespace quorvel
