// quorvel.exe: one instance, one window, one thread.
#include <windows.h>

#include <commctrl.h>

#include <string>
#include <vector>

#include "window/command_line.hpp"
#include "window/handles.hpp"
#include "window/keyboard_focus.hpp"
#include "window/main_window.hpp"

namespace {

std::wstring ProgramPath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // A second start ends at once and silently; the running instance stays as it is.
  quorvel::UniqueKernelHandle instanceMutex(CreateMutexW(nullptr, FALSE, L"Local\\Quorvel.SingleInstance"));
  if (!instanceMutex || GetLastError() == ERROR_ALREADY_EXISTS) return 0;

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  quorvel::quorvelmain window(instance, quorvel::CommandLineTail(GetCommandLineW()), ProgramPath());
  if (!window.Create()) return 1;
  window.Form_Load();

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // Enter and Escape first: the dialog manager would turn them into commands of its own.
    if (quorvel::TranslateEnterAndEscape(window.Handle(), message)) continue;
    // Tab and the arrow keys move between the controls as in a dialog.
    if (IsDialogMessageW(window.Handle(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
