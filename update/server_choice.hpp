// Which update server this run uses: QUORVEL_SERVER when it is set (tests, the demo), else the
// stored "serveur" value a user or the installer chose, else the built-in host. A text that is
// set but refused is an error: nothing is sent, and the built-in host is never used instead.
#pragma once

#include <string>

#include "update/server_address.hpp"

namespace quorvel {

struct ServerChoice {
  ServerAddress address;
  // Empty when the address can be used; otherwise what the program says everywhere it stops
  // (the first log line, the activation's message box, the tray's tip):
  // "serveur refusé: TEXT (REASON)" or "QUORVEL_SERVER refusé: TEXT (REASON)".
  std::wstring refusal;
};

// storedText: the "serveur" value as read (empty when there is none).
ServerChoice ChooseServerAddress(const std::wstring& storedText, TlsSupport tls = TlsSupport::kNone);

// The first log line: the banner with the server, or the refusal in its place.
std::wstring FirstLogLine(const ServerChoice& choice);

}  // namespace quorvel
