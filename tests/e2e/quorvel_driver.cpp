// Drives the real quorvel.exe as a user would, through the messages of its controls: types
// an identifier, clicks "Activer le service", reads the log box and the message box. Run
// under Wine by quorvel_e2e.sh, which starts the reference server it talks to, and by
// installer_life_cycle.sh ("upgrade": Quorvel installed and running while the installer runs
// again; its fifth argument is the installer's command line).
//
// "https" activates over https:// and expects success; "refused" expects the failure lines, the
// line given in place of UNKNOWN_ID just before them. "trust CA.der" adds a test authority to
// the prefix's LocalMachine ROOT store, as Wine has no certutil.
//
// usage: quorvel_driver activation|log-order|upgrade|https|refused QUORVEL_EXE SERVER KNOWN_ID
//        UNKNOWN_ID|SETUP|LINE
//        quorvel_driver trust CA.der
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/program_start.hpp"
#include "support/stored_settings.hpp"
#include "support/test_authority.hpp"
#include "support/window_text.hpp"

namespace {

using quorvel_test::ClassOf;
using quorvel_test::FindProcessWindow;
using quorvel_test::kRunKey;
using quorvel_test::kSettingsKey;
using quorvel_test::RemoveStoredSettings;
using quorvel_test::StartProgram;
using quorvel_test::StoredValue;
using quorvel_test::TextOf;
using quorvel_test::Utf8;
using quorvel_test::WaitFor;

int failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> found;
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM list) {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

// A visible top-level window of the process with the given class and title.
HWND VisibleWindow(DWORD processId, const std::wstring& className, const std::wstring& title) {
  return FindProcessWindow(processId, [&](HWND window) {
    return IsWindowVisible(window) && ClassOf(window) == className && TextOf(window) == title;
  });
}

HWND ChildWith(HWND parent, const std::function<bool(HWND)>& match) {
  for (HWND child : Children(parent)) {
    if (match(child)) return child;
  }
  return nullptr;
}

HWND ButtonCaptioned(HWND parent, const std::wstring& caption) {
  return ChildWith(parent, [&](HWND w) { return ClassOf(w) == L"Button" && TextOf(w) == caption; });
}

bool Multiline(HWND edit) { return (GetWindowLongW(edit, GWL_STYLE) & ES_MULTILINE) != 0; }

void Click(HWND button) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 10000, &result);
}

// Replaces the box's text key by key, as typing would after selecting it all.
void Type(HWND edit, const std::wstring& text) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(edit, EM_SETSEL, 0, -1, SMTO_ABORTIFHUNG, 5000, &result);
  SendMessageTimeoutW(edit, WM_CHAR, VK_BACK, 1, SMTO_ABORTIFHUNG, 5000, &result);
  for (wchar_t c : text) SendMessageTimeoutW(edit, WM_CHAR, c, 1, SMTO_ABORTIFHUNG, 5000, &result);
}

bool LogContains(HWND log, const std::wstring& line) { return TextOf(log).find(line) != std::wstring::npos; }

// Counts the occurrences of a line in the log.
int CountOf(const std::wstring& log, const std::wstring& line) {
  int count = 0;
  for (std::size_t at = log.find(line); at != std::wstring::npos; at = log.find(line, at + 1)) ++count;
  return count;
}

// The exchanges, each from its "Envoie de votre adresse IP" line, whose reply is logged as
// received before the request is logged as sent.
int ExchangesOutOfOrder(const std::wstring& log) {
  const std::wstring start = L"Envoie de votre adresse IP";
  int wrong = 0;
  for (std::size_t at = log.find(start); at != std::wstring::npos;) {
    std::size_t next = log.find(start, at + 1);
    std::wstring exchange = log.substr(at, next == std::wstring::npos ? std::wstring::npos : next - at);
    std::size_t sent = exchange.find(L"Envoie de la requête effectué.");
    std::size_t received = exchange.find(L"Reception des données (");
    if (sent == std::wstring::npos || received == std::wstring::npos || received < sent) ++wrong;
    at = next;
  }
  return wrong;
}

// Whether the process has loaded the DLL (by file name, any case).
bool ModuleLoaded(DWORD processId, const std::wstring& dll) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  MODULEENTRY32W module{};
  module.dwSize = sizeof module;
  bool found = false;
  for (BOOL more = Module32FirstW(snapshot, &module); more && !found; more = Module32NextW(snapshot, &module)) {
    found = lstrcmpiW(module.szModule, dll.c_str()) == 0;
  }
  CloseHandle(snapshot);
  return found;
}

struct MainWindow {
  HWND window = nullptr;
  HWND identifier = nullptr;  // Text1, the one single-line Edit
  HWND log = nullptr;         // Text2, the multi-line Edit
  HWND activate = nullptr;
  HWND deactivate = nullptr;
};

bool FindMainWindow(DWORD processId, MainWindow& w) {
  Check(WaitFor(
            [&] { return (w.window = VisibleWindow(processId, L"quorvelmain", L"Quorvel 2.0")) != nullptr; },
            30000),
        "the window \"Quorvel 2.0\" is shown");
  if (!w.window) return false;
  w.identifier = ChildWith(w.window, [](HWND c) { return ClassOf(c) == L"Edit" && !Multiline(c); });
  w.log = ChildWith(w.window, [](HWND c) { return ClassOf(c) == L"Edit" && Multiline(c); });
  w.activate = ButtonCaptioned(w.window, L"Activer le service");
  w.deactivate = ButtonCaptioned(w.window, L"Désactiver le service");
  bool found = w.identifier && w.log && w.activate && w.deactivate;
  Check(found, "the identifier box, the log box and both service buttons are found");
  return found;
}

// The user's path: a known identifier succeeds, an unknown one switches the service off with
// a message box.
void ActivationScenario(DWORD processId, const MainWindow& w, const std::wstring& knownId,
                        const std::wstring& unknownId) {
  Check(WaitFor([&] { return LogContains(w.log, L"Le service est désactivé."); }, 10000),
        "a first start logs that the service is off");

  Type(w.identifier, knownId);
  Check(TextOf(w.identifier) == knownId, "the identifier box holds the typed identifier");
  Click(w.activate);
  bool success = WaitFor([&] { return LogContains(w.log, L"Identifiant mis à jour avec succès."); }, 30000);
  Check(success, "the log shows \"Identifiant mis à jour avec succès.\"");
  Check(!IsWindowEnabled(w.activate) && IsWindowEnabled(w.deactivate), "the service stays active");
  Check(ModuleLoaded(processId, L"kernel32.dll") && !ModuleLoaded(processId, L"secur32.dll") &&
            !ModuleLoaded(processId, L"crypt32.dll"),
        "a plain server's update loads neither secur32 nor crypt32");

  Click(w.deactivate);
  Check(WaitFor([&] { return LogContains(w.log, L"Service désactivé."); }, 10000) &&
            IsWindowEnabled(w.activate),
        "\"Désactiver le service\" switches the service off");

  Type(w.identifier, unknownId);
  Click(w.activate);
  HWND box = nullptr;
  Check(WaitFor([&] { return (box = VisibleWindow(processId, L"#32770", L"Quorvel")) != nullptr; }, 30000),
        "a message box titled \"Quorvel\" appears for the unknown identifier");
  if (box) {
    HWND text = ChildWith(box, [](HWND c) { return ClassOf(c) == L"Static" && !TextOf(c).empty(); });
    std::wstring said = text ? TextOf(text) : L"";
    Check(said == L"Cet identifiant n'existe pas !", "the box says \"" + Utf8(said) + "\"");
    HWND ok = ButtonCaptioned(box, L"OK");
    Check(ok != nullptr, "the box has an OK button");
    if (ok) Click(ok);
    Check(WaitFor([&] { return !IsWindow(box); }, 10000), "OK dismisses the box");
  }
  Check(LogContains(w.log, L"Cet identifiant n'existe pas ! Abbandon..."), "the log shows the rejection");
  Check(IsWindowEnabled(w.activate) && !IsWindowEnabled(w.deactivate), "the service is off again");
  Check(ExchangesOutOfOrder(TextOf(w.log)) == 0,
        "both exchanges log the request sent before the reply received");
}

// Several updates in a row, each logged in the order it happens on the wire: request sent,
// then reply received.
void LogOrderScenario(const MainWindow& w, const std::wstring& knownId) {
  constexpr int kRounds = 6;
  // A click before start-up has logged its state races with it.
  Check(WaitFor([&] { return LogContains(w.log, L"Le service est désactivé."); }, 10000),
        "a first start logs that the service is off");
  Type(w.identifier, knownId);
  for (int round = 1; round <= kRounds; ++round) {
    Click(w.activate);
    bool success = WaitFor(
        [&] { return CountOf(TextOf(w.log), L"Identifiant mis à jour avec succès.") == round; }, 30000);
    Click(w.deactivate);
    bool off = WaitFor([&] { return IsWindowEnabled(w.activate) != FALSE; }, 10000);
    if (!success || !off) {
      Check(false, "update " + std::to_string(round) + " succeeds and the service switches off");
      return;
    }
  }
  int wrong = ExchangesOutOfOrder(TextOf(w.log));
  Check(wrong == 0, std::to_string(kRounds) +
                        " updates log \"Envoie de la requête effectué.\" before "
                        "\"Reception des données\" (" +
                        std::to_string(wrong) + " out of order)");
}

// Over https:// with a trusted certificate, the update goes through as over plain HTTP, and the
// banner names the server as given.
void HttpsScenario(DWORD processId, const MainWindow& w, const std::wstring& server, const std::wstring& knownId) {
  Check(WaitFor([&] { return LogContains(w.log, L"Le service est désactivé."); }, 10000),
        "a first start logs that the service is off");
  Check(LogContains(w.log, L"Quorvel Version 2.0 - " + server), "the banner names " + Utf8(server));
  Type(w.identifier, knownId);
  Click(w.activate);
  Check(WaitFor([&] { return LogContains(w.log, L"Identifiant mis à jour avec succès."); }, 30000),
        "the update over " + Utf8(server) + " succeeds");
  Check(ExchangesOutOfOrder(TextOf(w.log)) == 0, "the request is logged sent before the reply received");
  Check(ModuleLoaded(processId, L"secur32.dll"), "secur32 is loaded for the TLS session");
}

// A server that cannot prove who it is: the update fails, and the line just before the two
// failure lines says why.
void RefusedScenario(const MainWindow& w, const std::wstring& server, const std::wstring& knownId,
                     const std::wstring& why) {
  WaitFor([&] { return LogContains(w.log, L"Le service est désactivé."); }, 10000);
  Type(w.identifier, knownId);
  Click(w.activate);
  const std::wstring failed = L"Impossible de se connecter au serveur maitre.";
  Check(WaitFor([&] { return LogContains(w.log, failed); }, 30000), "the update over " + Utf8(server) + " fails");
  const std::wstring log = TextOf(w.log);
  const std::size_t said = log.find(why);
  const std::size_t failure = log.find(failed, said == std::wstring::npos ? 0 : said);
  Check(said != std::wstring::npos && failure != std::wstring::npos &&
            std::count(log.begin() + static_cast<std::ptrdiff_t>(said),
                       log.begin() + static_cast<std::ptrdiff_t>(failure), L'\n') == 1,
        "\"" + Utf8(why) + "\" comes just before the failure lines");
  Check(log.find(L"Retentera dans 60 secondes.", failure) != std::wstring::npos, "a new attempt is promised");
  Check(log.find(L"Envoie de votre adresse IP") == std::wstring::npos, "the identifier was never sent");
}

// The test authority, trusted by the whole prefix from now on.
int Trust(const wchar_t* file) {
  std::size_t bytes = 0;
  const bool added = quorvel_test::TrustAuthority(file, &bytes);
  std::printf("%s: the test authority (%zu bytes) is in LocalMachine ROOT\n", added ? "ok" : "FAIL", bytes);
  return added ? 0 : 1;
}

// Runs the installer's command line to its end; whether it ended with status 0.
bool RunInstaller(std::wstring setup) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION installer{};
  if (!CreateProcessW(nullptr, setup.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &installer)) {
    Check(false, "the installer starts: " + Utf8(setup));
    return false;
  }
  DWORD code = 1;
  bool done = WaitForSingleObject(installer.hProcess, 120000) == WAIT_OBJECT_0;
  GetExitCodeProcess(installer.hProcess, &code);
  CloseHandle(installer.hThread);
  CloseHandle(installer.hProcess);
  Check(done && code == 0, "the silent install ends with code 0 (" + std::to_string(code) + ")");
  return done && code == 0;
}

// The Quorvel window of a process other than `before`, waited for; nullptr if none comes.
HWND OtherQuorvelWindow(HWND before, int milliseconds) {
  HWND found = nullptr;
  WaitFor(
      [&] {
        found = FindWindowW(L"quorvelmain", nullptr);
        return found != nullptr && found != before;
      },
      milliseconds);
  return found != before ? found : nullptr;
}

// Quorvel, started from its installed folder and activated, writes its quoted path as the
// autostart value; the installer run again over it closes it as its close box does, replaces
// the file, keeps the identifier, the interval and the autostart value, and starts it again as
// at logon, hidden, since it was updating. Switched off, it stays closed after the next install.
void UpgradeScenario(HANDLE process, const MainWindow& w, const std::wstring& program,
                     const std::wstring& knownId, std::wstring setup) {
  WaitFor([&] { return LogContains(w.log, L"Le service est désactivé."); }, 10000);
  Type(w.identifier, knownId);
  Click(w.activate);
  Check(WaitFor([&] { return LogContains(w.log, L"Identifiant mis à jour avec succès."); }, 30000),
        "the installed Quorvel activates");
  const std::wstring run = StoredValue(kRunKey, L"quorvel");
  Check(run == L"\"" + program + L"\" -wiper",
        "the autostart value is the quoted installed path: " + Utf8(run));
  const std::wstring identifier = StoredValue(kSettingsKey, L"identifiant");
  const std::wstring interval = StoredValue(kSettingsKey, L"timeupdate");
  Check(identifier == knownId && interval != L"<absent>", "the identifier and the interval are stored");

  if (!RunInstaller(setup)) return;
  Check(WaitForSingleObject(process, 0) == WAIT_OBJECT_0, "the installer closed the running Quorvel");
  Check(StoredValue(kRunKey, L"quorvel") == run, "the autostart value is kept");
  Check(StoredValue(kSettingsKey, L"identifiant") == identifier, "the identifier is kept");
  Check(StoredValue(kSettingsKey, L"timeupdate") == interval, "the interval is kept");

  HWND again = OtherQuorvelWindow(w.window, 15000);
  Check(again != nullptr, "the active Quorvel runs again after the install");
  if (!again) return;
  DWORD id = 0;
  GetWindowThreadProcessId(again, &id);
  std::printf("Quorvel after the install: process %lu\n", id);
  HWND log = ChildWith(again, [](HWND c) { return ClassOf(c) == L"Edit" && Multiline(c); });
  Check(log && WaitFor([&] { return LogContains(log, L"Démarrage du service, mise à jour dans "); }, 10000),
        "it logs its start update");
  Check(WaitFor([&] { return !IsWindowVisible(again); }, 10000), "it runs hidden, as at logon (-wiper)");
  std::printf("its log:\n%s\n", log ? Utf8(TextOf(log)).c_str() : "");

  // Switched off, then installed over: it stays closed. The button is looked up once the window
  // has written its log (found earlier, it may not be made yet), and clicked again while the
  // click has not taken (a click on a disabled button does nothing).
  HWND deactivate = ButtonCaptioned(again, L"Désactiver le service");
  Check(WaitFor(
            [&] {
              if (deactivate) Click(deactivate);
              return StoredValue(kRunKey, L"quorvel") == L" ";
            },
            10000),
        "it is switched off");
  if (!RunInstaller(setup)) return;
  Check(!IsWindow(again), "the installer closed it");
  Check(OtherQuorvelWindow(again, 3000) == nullptr, "an inactive Quorvel stays closed after the install");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"trust") return Trust(argv[2]);
  const std::wstring scenario = argc == 6 ? argv[1] : L"";
  if (scenario != L"activation" && scenario != L"log-order" && scenario != L"upgrade" && scenario != L"https" &&
      scenario != L"refused") {
    std::fprintf(stderr,
                 "usage: quorvel_driver activation|log-order|upgrade|https|refused QUORVEL_EXE SERVER KNOWN_ID "
                 "UNKNOWN_ID|SETUP|LINE\n       quorvel_driver trust CA.der\n");
    return 2;
  }
  const std::wstring program = argv[2];
  // The program's settings go, before and after: the run starts as a first start and leaves
  // nothing behind. Only in the test script's throwaway prefix.
  if (!RemoveStoredSettings()) {
    std::fprintf(stderr, "not in a throwaway Wine prefix (no quorvel-test-prefix in it): stopped\n");
    return 2;
  }

  PROCESS_INFORMATION process{};
  if (!StartProgram(program, L"", argv[3], process)) {
    std::printf("FAIL: cannot start %s (error %lu)\n", Utf8(program).c_str(), GetLastError());
    RemoveStoredSettings();
    return 1;
  }
  MainWindow quorvel;
  if (FindMainWindow(process.dwProcessId, quorvel)) {
    if (scenario == L"activation") {
      ActivationScenario(process.dwProcessId, quorvel, argv[4], argv[5]);
    } else if (scenario == L"https") {
      HttpsScenario(process.dwProcessId, quorvel, argv[3], argv[4]);
    } else if (scenario == L"refused") {
      RefusedScenario(quorvel, argv[3], argv[4], argv[5]);
    } else if (scenario == L"upgrade") {
      UpgradeScenario(process.hProcess, quorvel, program, argv[4], argv[5]);
    } else {
      LogOrderScenario(quorvel, argv[4]);
    }
    std::printf("log box at the end:\n%s\n", Utf8(TextOf(quorvel.log)).c_str());
    PostMessageW(quorvel.window, WM_CLOSE, 0, 0);
  }

  bool ended = WaitForSingleObject(process.hProcess, 15000) == WAIT_OBJECT_0;
  Check(ended, "closing the window ends the program");
  if (!ended) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // After an upgrade the uninstaller has the autostart value and the settings to deal with.
  if (scenario != L"upgrade") RemoveStoredSettings();
  std::printf("%d check(s) failed\n", failures);
  return failures == 0 ? 0 : 1;
}
