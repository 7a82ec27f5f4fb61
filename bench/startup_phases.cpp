// Where quorvel.exe's start-up goes: the program's window made in this process, the same
// steps as wWinMain, each timed. One run per process, since the first window of a process pays
// for setting up the display; bench/run.sh runs it several times and takes the medians.
//
// Prints "phase NAME MS" lines.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>

#include "window/main_window.hpp"

namespace {

double NowMs() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Milliseconds since the process was created, by the system's clock.
double SinceProcessCreation() {
  FILETIME created, exited, kernel, user, now;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  GetSystemTimePreciseAsFileTime(&now);
  const auto ticks = [](const FILETIME& time) {
    return static_cast<double>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime);
  };
  return (ticks(now) - ticks(created)) / 10000.0;
}

void Phase(const char* name, double& since) {
  const double now = NowMs();
  std::printf("phase %s %.3f\n", name, now - since);
  since = now;
}

}  // namespace

int wmain() {
  std::printf("phase process_to_main %.3f\n", SinceProcessCreation());
  // A first start: nothing stored.
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Quorvel", L"identifiant");
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Quorvel", L"timeupdate");
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", L"quorvel");
  double since = NowMs();
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  Phase("common_controls", since);
  {
    quorvel::quorvelmain window(GetModuleHandleW(nullptr), L"", L"C:\\quorvel.exe");
    Phase("window_object_and_winsock", since);
    if (!window.Create()) return 1;
    Phase("create_window_and_controls", since);
    window.Form_Load();
    Phase("form_load_settings_log_show_paint", since);
    // What the message loop finds waiting: the paints and whatever else start-up queued, the
    // notification icon's addition among them.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Phase("first_messages_tray", since);
    DestroyWindow(window.Handle());
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  return 0;
}
