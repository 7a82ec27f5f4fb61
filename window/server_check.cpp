// quorvel-serveur.exe: the installer's check of the server a user types on its "Serveur" page,
// by the program's own reading of it. The text comes in the environment variable
// QUORVEL_SERVEUR (no quoting to survive on a command line); exit status 0 when Quorvel can use
// it (empty: the built-in host), 1 with the reason on standard output, in the ANSI code page,
// when it would refuse it. The installer carries it in its temporary folder only.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "common/text.hpp"
#include "update/server_address.hpp"

int wmain() {
  const wchar_t* given = _wgetenv(L"QUORVEL_SERVEUR");
  const quorvel::ServerAddress address =
      quorvel::ParseServerAddress(given ? given : L"", quorvel::TlsSupport::kAvailable);
  if (address.refusal == quorvel::ServerRefusal::kNone) return 0;
  const std::string reason = quorvel::ToAnsi(quorvel::RefusalReason(address.refusal));
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), reason.data(), static_cast<DWORD>(reason.size()), &written,
            nullptr);
  return 1;
}
