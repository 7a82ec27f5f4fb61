// Waiting for, finding and reading the windows of a program under test.
#include "window_text.hpp"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace quorvel_test {

bool WaitFor(const std::function<bool()>& ready, int milliseconds) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < giveUp) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return ready();
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = L"";
  GetClassNameW(window, name, 64);
  return name;
}

std::wstring TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return L"";
  std::vector<wchar_t> text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, 5000, &copied)) {
    return L"";
  }
  return std::wstring(text.data(), std::min<size_t>(copied, length));
}

HWND FindProcessWindow(DWORD processId, const std::function<bool(HWND)>& match) {
  struct Search {
    DWORD id;
    const std::function<bool(HWND)>* match;
    HWND found;
  } search{processId, &match, nullptr};
  EnumWindows(
      [](HWND window, LPARAM parameter) -> BOOL {
        auto* s = reinterpret_cast<Search*>(parameter);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == s->id && (*s->match)(window)) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                      nullptr);
  return out;
}

std::wstring WindowsPath(const std::string& path) {
  std::wstring wide(path.begin(), path.end());
  if (!wide.empty() && wide[0] == L'/') {
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    wide = L"Z:" + wide;
  }
  return wide;
}

}  // namespace quorvel_test
