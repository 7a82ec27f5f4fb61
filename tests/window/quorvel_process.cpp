#include "quorvel_process.hpp"

#include <thread>

#include "support/log_lines.hpp"
#include "support/program_start.hpp"

namespace quorvel_test {

RECT ClientRectOf(HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MapWindowPoints(HWND_DESKTOP, GetAncestor(control, GA_ROOT), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::wstring ProgramPath() { return WindowsPath(QUORVEL_EXE); }

// --- QuorvelProcess -------------------------------------------------------------------------

QuorvelProcess::QuorvelProcess(const std::wstring& arguments, int serverPort)
    // Every run is pointed at the loopback: nothing else exists (a run without the variable
    // finds it in the stored settings).
    : QuorvelProcess(arguments, serverPort > 0 ? L"127.0.0.1:" + std::to_wstring(serverPort) : L"") {}

QuorvelProcess::QuorvelProcess(const std::wstring& arguments, const std::wstring& server) {
  PROCESS_INFORMATION info{};
  if (StartProgram(ProgramPath(), arguments, server, info)) {
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    id_ = info.dwProcessId;
  }
}

QuorvelProcess::~QuorvelProcess() {
  if (!process_) return;
  if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_, 99);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
}

HWND QuorvelProcess::Window(int milliseconds) {
  if (window_ && IsWindow(window_)) return window_;
  HWND found = nullptr;
  WaitFor(
      [&] {
        found = FindProcessWindow(id_, [](HWND window) {
          wchar_t title[64] = L"";
          GetWindowTextW(window, title, 64);
          return std::wstring(title) == L"Quorvel 2.0";
        });
        return found != nullptr;
      },
      milliseconds);
  window_ = found;
  return window_;
}

bool QuorvelProcess::WaitForLogLine(const std::wstring& line, int milliseconds) {
  return WaitFor([&] { return HasLogMessage(Log(), line); }, milliseconds);
}

bool QuorvelProcess::IsRunning() const {
  return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

long QuorvelProcess::WaitForExit(int milliseconds) {
  if (!process_ || WaitForSingleObject(process_, milliseconds) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return static_cast<long>(code);
}

bool QuorvelProcess::Settle(int milliseconds) {
  // Posted messages of one thread are handled in the order they were posted.
  static LPARAM marker = 0x51000000;
  const LPARAM mine = ++marker;
  const HWND list = Control(IDC_LIST1);
  if (!PostMessageW(list, LB_SETITEMDATA, 0, mine)) return false;
  return WaitFor(
      [&] {
        DWORD_PTR data = 0;
        return SendMessageTimeoutW(list, LB_GETITEMDATA, 0, 0, SMTO_ABORTIFHUNG, 1000, &data) != 0 &&
               static_cast<LPARAM>(data) == mine;
      },
      milliseconds);
}

HWND QuorvelProcess::Focus() {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(Window(), nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

bool QuorvelProcess::FocusOn(int id) {
  // The window's answer to WM_NEXTDLGCTL is the same focus move that Tab makes.
  PostMessageW(Window(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(id)), TRUE);
  return WaitFor([&] { return Focus() == Control(id); }, 3000);
}

bool PressKeys(HWND window, const std::wstring& keys) {
  // The keys go to the program's own X window, whatever else the display shows.
  const auto xWindow = reinterpret_cast<UINT_PTR>(GetPropW(window, L"__wine_x11_whole_window"));
  if (xWindow == 0) return false;
  std::wstring command = L"/usr/bin/xdotool windowfocus --sync " + std::to_wstring(xWindow) + L" key " + keys;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // Wine starts a Unix program as it starts a Windows one, but does not report its end.
  if (!CreateProcessW(L"Z:\\usr\\bin\\xdotool", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  // Callers wait for what the last key does.
  return true;
}

void QuorvelProcess::Type(int id, const std::wstring& text) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(Control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                      5000, &result);
}

// --- Message boxes --------------------------------------------------------------------------

namespace {

// Reads the pixels of a window as shown on screen and tells the red stop icon from the yellow
// warning triangle.
char DominantIconColour(HWND icon) {
  RECT rect{};
  GetWindowRect(icon, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return '?';
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  GdiFlush();
  int red = 0;
  int yellow = 0;
  const auto* pixels = static_cast<const unsigned char*>(bits);
  for (int i = 0; bits && i < width * height; ++i) {
    const int b = pixels[i * 4], g = pixels[i * 4 + 1], r = pixels[i * 4 + 2];
    if (r > 150 && g < 90 && b < 90) ++red;
    if (r > 180 && g > 140 && b < 110) ++yellow;
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (red < 20 && yellow < 20) return '?';
  return red > yellow ? 'r' : 'y';
}

}  // namespace

MessageBoxSeen FindMessageBox(DWORD processId, int milliseconds) {
  HWND found = nullptr;
  WaitFor(
      [&] {
        found = FindProcessWindow(processId, [](HWND window) {
          return ClassOf(window) == L"#32770" && TextOf(window) == L"Quorvel" && IsWindowVisible(window);
        });
        return found != nullptr;
      },
      milliseconds);
  MessageBoxSeen box;
  box.dialog = found;
  if (!box.dialog) return box;
  // Let the box paint itself before its icon is read from the screen.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (HWND child = GetWindow(box.dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) != L"Static") continue;
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
      box.iconColour = DominantIconColour(child);
    } else {
      const std::wstring text = TextOf(child);
      if (text.size() > box.text.size()) box.text = text;
    }
  }
  return box;
}

void DismissMessageBox(const MessageBoxSeen& box) {
  PostMessageW(box.dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box.dialog, IDOK)));
}

}  // namespace quorvel_test
