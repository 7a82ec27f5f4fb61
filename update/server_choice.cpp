#include "update/server_choice.hpp"

#include <cstdlib>

#include "common/text.hpp"

namespace quorvel {

ServerChoice ChooseServerAddress(const std::wstring& storedText, TlsSupport tls) {
  const char* variable = std::getenv("QUORVEL_SERVER");
  const std::wstring overrideText = variable ? FromAnsi(variable) : std::wstring();
  const bool overridden = !TrimSpaces(overrideText).empty();
  ServerChoice choice{ParseServerAddress(overridden ? overrideText : storedText, tls), {}};
  if (choice.address.refusal != ServerRefusal::kNone) {
    choice.refusal = std::wstring(overridden ? L"QUORVEL_SERVER" : L"serveur") + L" refusé: " +
                     choice.address.rejected + L" (" + RefusalReason(choice.address.refusal) + L")";
  }
  return choice;
}

std::wstring FirstLogLine(const ServerChoice& choice) {
  if (choice.refusal.empty()) return BannerLine(choice.address);
  return L"Quorvel Version 2.0 - " + choice.refusal;
}

}  // namespace quorvel
