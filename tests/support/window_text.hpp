// Reading another process's windows from a test: waiting, finding a top-level window, class, text.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace quorvel_test {

// Polls until ready() holds or the time is up.
bool WaitFor(const std::function<bool()>& ready, int milliseconds);

std::wstring ClassOf(HWND window);
// The text of a window of another process, through WM_GETTEXT.
std::wstring TextOf(HWND window);
// The first top-level window of the process that match() accepts, or nullptr (one look, no wait).
HWND FindProcessWindow(DWORD processId, const std::function<bool(HWND)>& match);

std::string Utf8(const std::wstring& text);
// A path as Windows sees it: Wine maps the Unix root to drive Z:.
std::wstring WindowsPath(const std::string& path);

}  // namespace quorvel_test
