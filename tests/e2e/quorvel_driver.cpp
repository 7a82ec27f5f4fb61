// Drives the real quorvel.exe as a user would, through the messages of its controls: types
// an identifier, clicks "Activer le service", reads the log box and the message box. Run
// under Wine by quorvel_e2e.sh, which starts the reference server it talks to.
//
// usage: quorvel_driver QUORVEL_EXE HOST:PORT KNOWN_ID UNKNOWN_ID
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kQuorvelKey[] = L"SOFTWARE\\Quorvel";
constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"quorvel";

int failures = 0;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

void Check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

// Polls until ready() holds or the time is up.
bool WaitFor(const std::function<bool()>& ready, int seconds) {
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < giveUp) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return ready();
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = L"";
  GetClassNameW(window, name, 64);
  return name;
}

// The text of a window of another process, read with WM_GETTEXT as a screen reader would.
std::wstring TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return L"";
  std::vector<wchar_t> text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 5000, &copied);
  return std::wstring(text.data(), copied);
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
HWND FindProcessWindow(DWORD processId, const std::wstring& className, const std::wstring& title) {
  struct Search {
    DWORD processId;
    const std::wstring* className;
    const std::wstring* title;
    HWND found;
  } search{processId, &className, &title, nullptr};
  EnumWindows(
      [](HWND window, LPARAM param) {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == s->processId && IsWindowVisible(window) && ClassOf(window) == *s->className &&
            TextOf(window) == *s->title) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
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

// The program's settings go, before and after: the run starts as a first start and leaves
// nothing behind.
void RemoveSettings() {
  RegDeleteTreeW(HKEY_CURRENT_USER, kQuorvelKey);
  HKEY run = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
    RegDeleteValueW(run, kRunValue);
    RegCloseKey(run);
  }
}

bool LogContains(HWND log, const std::wstring& line) {
  return TextOf(log).find(line) != std::wstring::npos;
}

// In one exchange, the request is reported sent before any of the reply is reported received.
bool SentBeforeReceived(const std::wstring& log, const std::wstring& id) {
  std::size_t start = log.find(L"( identifiant: " + id + L" )...");
  if (start == std::wstring::npos) return false;
  std::size_t sent = log.find(L"Envoie de la requête effectué.", start);
  std::size_t received = log.find(L"Reception des données (", start);
  return sent != std::wstring::npos && received != std::wstring::npos && sent < received;
}

void Drive(DWORD processId, const std::wstring& knownId, const std::wstring& unknownId) {
  HWND window = nullptr;
  Check(WaitFor([&] { return (window = FindProcessWindow(processId, L"quorvelmain", L"Quorvel 2.0")) != nullptr; }, 30),
        "the window \"Quorvel 2.0\" is shown");
  if (!window) return;

  HWND identifier = ChildWith(window, [](HWND w) { return ClassOf(w) == L"Edit" && !Multiline(w); });
  HWND log = ChildWith(window, [](HWND w) { return ClassOf(w) == L"Edit" && Multiline(w); });
  HWND activate = ButtonCaptioned(window, L"Activer le service");
  HWND deactivate = ButtonCaptioned(window, L"Désactiver le service");
  Check(identifier && log && activate && deactivate,
        "the identifier box, the log box and both service buttons are found");
  if (!(identifier && log && activate && deactivate)) return;
  Check(WaitFor([&] { return LogContains(log, L"Le service est désactivé."); }, 10),
        "a first start logs that the service is off");

  // A known identifier: the update succeeds.
  Type(identifier, knownId);
  Check(TextOf(identifier) == knownId, "the identifier box holds the typed identifier");
  Click(activate);
  bool success = WaitFor([&] { return LogContains(log, L"Identifiant mis à jour avec succès."); }, 30);
  Check(success, "the log shows \"Identifiant mis à jour avec succès.\"");
  if (!success) std::printf("log box:\n%s\n", Utf8(TextOf(log)).c_str());
  Check(!IsWindowEnabled(activate) && IsWindowEnabled(deactivate), "the service stays active");

  Click(deactivate);
  Check(WaitFor([&] { return LogContains(log, L"Service désactivé."); }, 10) && IsWindowEnabled(activate),
        "\"Désactiver le service\" switches the service off");

  // An identifier the server does not know: the service switches itself off and says so.
  Type(identifier, unknownId);
  Click(activate);
  HWND box = nullptr;
  Check(WaitFor([&] { return (box = FindProcessWindow(processId, L"#32770", L"Quorvel")) != nullptr; }, 30),
        "a message box titled \"Quorvel\" appears for the unknown identifier");
  if (box) {
    HWND text = ChildWith(box, [](HWND w) { return ClassOf(w) == L"Static" && !TextOf(w).empty(); });
    std::wstring said = text ? TextOf(text) : L"";
    Check(said == L"Cet identifiant n'existe pas !", "the box says \"" + Utf8(said) + "\"");
    HWND ok = ButtonCaptioned(box, L"OK");
    Check(ok != nullptr, "the box has an OK button");
    if (ok) Click(ok);
    Check(WaitFor([&] { return !IsWindow(box); }, 10), "OK dismisses the box");
  }
  Check(LogContains(log, L"Cet identifiant n'existe pas ! Abbandon..."),
        "the log shows the rejection");
  Check(IsWindowEnabled(activate) && !IsWindowEnabled(deactivate), "the service is off again");
  const std::wstring finalLog = TextOf(log);
  Check(SentBeforeReceived(finalLog, knownId) && SentBeforeReceived(finalLog, unknownId),
        "each exchange logs the request sent before the reply received");
  std::printf("log box at the end:\n%s\n", Utf8(finalLog).c_str());

  PostMessageW(window, WM_CLOSE, 0, 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: quorvel_driver QUORVEL_EXE HOST:PORT KNOWN_ID UNKNOWN_ID\n");
    return 2;
  }
  const std::wstring program = argv[1];
  RemoveSettings();
  SetEnvironmentVariableW(L"QUORVEL_SERVER", argv[2]);

  std::wstring commandLine = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    std::printf("FAIL: cannot start %s (error %lu)\n", Utf8(program).c_str(), GetLastError());
    RemoveSettings();
    return 1;
  }
  Drive(process.dwProcessId, argv[3], argv[4]);

  bool ended = WaitForSingleObject(process.hProcess, 15000) == WAIT_OBJECT_0;
  Check(ended, "closing the window ends the program");
  if (!ended) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  RemoveSettings();
  std::printf("%d check(s) failed\n", failures);
  return failures == 0 ? 0 : 1;
}
