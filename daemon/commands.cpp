#include "daemon/commands.hpp"

#include <unistd.h>

#include <cerrno>

#include "common/text.hpp"
#include "daemon/run_state.hpp"
#include "settings/activation.hpp"
#include "settings/file_store.hpp"
#include "settings/settings.hpp"
#include "settings/startup_settings.hpp"
#include "settings/store_lock.hpp"
#include "settings/stored_value.hpp"
#include "update/identifier.hpp"
#include "update/server_address.hpp"

namespace quorvel {

std::wstring ProgramPath() {
  char buffer[4096];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return L"quorveld";
  return FromAnsi(std::string_view(buffer, static_cast<size_t>(length)));
}

void PrintLine(int fd, const std::string& line) {
  const std::string bytes = line + '\n';
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<size_t>(put);
  }
}

namespace {

int StoreFailed(const char* what) {
  PrintLine(STDERR_FILENO, std::string("quorveld: ") + what + ": " + LastStoreError());
  return 1;
}

constexpr wchar_t kIpv6Value[] = L"ipv6";

}  // namespace

bool StoredIpv6() {
  return TrimSpaces(quorvelmod::GetRegString(quorvelmod::kHkeyCurrentUser, quorvelmod::kSettingsKey,
                                             kIpv6Value, L"")) == L"1";
}

StoredState ReadStoredState(bool readUnlocked) {
  StoredState state;
  const StoreLock lock(StoreLock::Mode::kShared);
  state.locked = lock.Held();
  if (state.locked || readUnlocked) {
    const StoreSnapshot oneReading;  // the values below from one reading of the file
    state.settings = ReadStartupSettings();
    state.ipv6 = StoredIpv6();
  }
  return state;
}

int Activate(const std::string& identifier, int minutes, Ipv6Choice ipv6) {
  const std::wstring text = FromAnsi(identifier);
  switch (CheckIdentifier(text)) {
    case IdentifierProblem::kBlank:
      PrintLine(STDERR_FILENO, ToAnsi(L"Aucun identifiant unique n'est spécifié"));
      return 2;
    case IdentifierProblem::kControlCharacter:
      PrintLine(STDERR_FILENO,
                "quorveld: the identifier holds a control character (a line end, a tab...); not stored");
      return 2;
    case IdentifierProblem::kTooLong:
      PrintLine(STDERR_FILENO, "quorveld: the identifier is longer than the settings can hold (" +
                                   std::to_string(kReadBufferSize - 1) + " bytes); not stored");
      return 2;
    case IdentifierProblem::kNone:
      break;
  }
  std::int32_t seconds = minutes * 60;
  if (minutes == 0) {
    const StoreLock lock(StoreLock::Mode::kShared);
    if (!lock.Held()) return StoreFailed("activation not stored");
    seconds = ReadStartupSettings().secondsLeft;
  }
  if (ipv6 != Ipv6Choice::kKeep) {
    // Before the activation: a running daemon follows the activation with an update at once,
    // and that update already knows the choice.
    const StoreLock lock(StoreLock::Mode::kExclusive);
    if (!lock.Held() || !quorvelmod::SaveRegString(quorvelmod::kHkeyCurrentUser, quorvelmod::kSettingsKey,
                                                   kIpv6Value, ipv6 == Ipv6Choice::kOn ? L"1" : L"")) {
      return StoreFailed("activation not stored");
    }
  }
  if (!StoreActivation(text, seconds, AutostartCommandFor(ProgramPath()))) {
    return StoreFailed("activation not stored");
  }
  return 0;
}

int Deactivate() { return StoreDeactivation() ? 0 : StoreFailed("deactivation not stored"); }

int ShowStatus() {
  const StoredState state = ReadStoredState(false);
  if (!state.locked || !LastStoreError().empty()) return StoreFailed("status unknown") + 3;
  const StartupSettings& settings = state.settings;
  const bool ipv6 = state.ipv6;
  PrintLine(STDOUT_FILENO,
            ToAnsi(settings.serviceActive ? L"Le service est activé." : L"Le service est désactivé."));
  PrintLine(STDOUT_FILENO, ToAnsi(L"Identifiant: " + settings.identifier));
  PrintLine(STDOUT_FILENO, ToAnsi(L"Intervalle: " + DecimalText(settings.intervalRow + 1) + L" minutes"));
  PrintLine(STDOUT_FILENO, ToAnsi(ipv6 ? L"IPv6: activé" : L"IPv6: désactivé"));
  // The server this environment's runs use: "https://" in front when it is reached over TLS.
  const ServerAddress server = ServerAddressFromEnvironment(TlsSupport::kAvailable);
  PrintLine(STDOUT_FILENO, ToAnsi(L"Serveur: " + (server.rejected.empty()
                                                      ? server.WebHost()
                                                      : L"refusé: " + server.rejected + L" (" +
                                                            RefusalReason(server.refusal) + L")")));
  const pid_t running = RunningInstance(SettingsFilePath().parent_path());
  PrintLine(STDOUT_FILENO, running != 0
                               ? ToAnsi(L"quorveld run: en marche (pid ") + std::to_string(running) + ")"
                               : ToAnsi(L"quorveld run: arrêté"));
  const std::string last = LastUpdateLine();
  PrintLine(STDOUT_FILENO, ToAnsi(L"Dernière mise à jour: ") + (last.empty() ? "aucune" : last));
  return settings.serviceActive ? 0 : 3;
}

}  // namespace quorvel
