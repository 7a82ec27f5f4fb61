// Drives the real quorvel.exe from a test: starts it as a process, finds its window and
// controls, reads them and acts on them with the messages a user's clicks and keys produce,
// and finds its message boxes.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/scripted_server.hpp"
#include "support/stored_settings.hpp"  // ClearStoredSettings, StoreValue, StoredValue
#include "support/window_text.hpp"      // WaitFor, ClassOf, TextOf
#include "window/resource.hpp"

namespace quorvel_test {

// A control's rectangle relative to its top-level window's client area.
RECT ClientRectOf(HWND control);

// The program's path as Windows sees it (the build passes a Unix path under Wine).
std::wstring ProgramPath();

// One loopback HTTP server on a thread: each connection's request is recorded, then answered
// with the reply marker and the status word, then closed.
using LoopbackServer = RecordingServer;

// One run of quorvel.exe; killed when dropped if it still runs.
class QuorvelProcess {
 public:
  // arguments: what follows the quoted program path on the command line (e.g. L" -wiper").
  // serverPort: the loopback server's, given as QUORVEL_SERVER; 0 leaves the variable unset.
  QuorvelProcess(const std::wstring& arguments, int serverPort);
  // With QUORVEL_SERVER set to the text as it is.
  QuorvelProcess(const std::wstring& arguments, const std::wstring& serverText);
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
  // Its window has appeared and start-up has written the line (the restored service state).
  bool ShownWith(const std::wstring& line) { return Window() != nullptr && WaitForLogLine(line); }
  bool IsRunning() const;
  // Waits for the process to end; its exit code, or -1 if it still runs.
  long WaitForExit(int milliseconds);
  // Waits until the program has handled every message posted to it so far: a marker posted
  // after them (the list's first row's item data, which the program never uses) is read back.
  bool Settle(int milliseconds = 5000);
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
