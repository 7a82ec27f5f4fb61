// Drives the real quorvel.exe from a test: starts it as a process, finds its window and
// controls, reads them and acts on them with the messages a user's clicks and keys produce,
// finds its message boxes, and cleans the registry state the program shares with other tests.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/window_text.hpp"  // WaitFor, ClassOf, TextOf
#include "window/resource.hpp"

namespace quorvel_test {

// A control's rectangle relative to its top-level window's client area.
RECT ClientRectOf(HWND control);

// The registry values of the program: removed before and after every test.
void ClearStoredSettings();
void StoreValue(const std::wstring& key, const std::wstring& name, const std::wstring& value);
// The stored value, or nullptr-like "<absent>" when it does not exist.
std::wstring StoredValue(const std::wstring& key, const std::wstring& name);
inline constexpr wchar_t kAbsent[] = L"<absent>";
inline constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\Quorvel";
inline constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// The program's path as Windows sees it (the build passes a Unix path under Wine).
std::wstring ProgramPath();

// One loopback HTTP server on a thread: each connection's request is recorded, then answered
// with the reply marker and the status word, then closed.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::string statusWord);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  int Port() const { return port_; }
  std::vector<std::string> Requests();

 private:
  void Serve();
  std::string statusWord_;
  unsigned long long listener_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  CRITICAL_SECTION lock_;
  std::vector<std::string> requests_;
};

// One run of quorvel.exe; killed when dropped if it still runs.
class QuorvelProcess {
 public:
  // arguments: what follows the quoted program path on the command line (e.g. L" -wiper").
  QuorvelProcess(const std::wstring& arguments, int serverPort);
  ~QuorvelProcess();
  QuorvelProcess(const QuorvelProcess&) = delete;
  QuorvelProcess& operator=(const QuorvelProcess&) = delete;

  bool Started() const { return process_ != nullptr; }
  DWORD Id() const { return id_; }
  // The main window "Quorvel 2.0" of this process, waited for; nullptr if none appears.
  HWND Window(int milliseconds = 10000);
  HWND Control(int id) { return GetDlgItem(Window(), id); }
  std::wstring Log() { return TextOf(Control(IDC_TEXT2)); }
  // Waits for a line of the log that ends with the text.
  bool WaitForLogLine(const std::wstring& line, int milliseconds = 5000);
  bool IsRunning() const;
  // Waits for the process to end; its exit code, or -1 if it still runs.
  long WaitForExit(int milliseconds);
  // The focused control of the program's window thread.
  HWND Focus();
  // Moves the keyboard focus to the control, as Tab would, and waits for it to get there.
  bool FocusOn(int id);

  // A click on a button, posted so that a message box it opens does not block the test.
  void Click(int id) { PostMessageW(Control(id), BM_CLICK, 0, 0); }
  void Type(int id, const std::wstring& text);

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
  HWND window_ = nullptr;
};

// Presses keys as a user does, through the X server (xdotool's names: "Escape", "Tab Return",
// "alt+F4"), with the window's X window given the X focus first. False if that window or
// xdotool could not be found.
bool PressKeys(HWND window, const std::wstring& keys);

// A message box titled "Quorvel" of that process, as it shows on screen.
struct MessageBoxSeen {
  HWND dialog = nullptr;
  std::wstring text;
  // The icon's dominant colour: 'r' for the red stop icon, 'y' for the yellow warning, '?' else.
  char iconColour = '?';
};
MessageBoxSeen FindMessageBox(DWORD processId, int milliseconds = 5000);
// Presses the box's OK button.
void DismissMessageBox(const MessageBoxSeen& box);

}  // namespace quorvel_test
