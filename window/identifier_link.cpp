#include "window/identifier_link.hpp"

#include <windows.h>

#include <shellapi.h>

#include <vector>

namespace quorvel {

namespace {

// Only these reach the command line: anything else (&, |, ^, quotes, ...) could make the
// interpreter run a second command, so such an address goes to the shell directly.
bool SafeForCommandLine(const std::wstring& address) {
  for (const wchar_t c : address) {
    const bool plain = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                       c == L'.' || c == L'-' || c == L'_' || c == L':' || c == L'/';
    if (!plain) return false;
  }
  return !address.empty();
}

bool StartHiddenInterpreter(const std::wstring& address) {
  // The interpreter from the system folder, never one lying beside the program.
  wchar_t systemDir[MAX_PATH];
  const UINT length = GetSystemDirectoryW(systemDir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::wstring interpreter = std::wstring(systemDir, length) + L"\\cmd.exe";

  std::wstring commandLine = L"cmd.exe /C start " + address;
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(interpreter.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace

std::wstring CreationPageAddress(const std::wstring& webHost) {
  // Over TLS the host already carries its scheme.
  const bool tls = webHost.rfind(L"https://", 0) == 0;
  return (tls ? L"" : L"http://") + webHost + L"/creer.php6";
}

void OpenInBrowser(const std::wstring& address) {
  if (SafeForCommandLine(address) && StartHiddenInterpreter(address)) return;
  ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace quorvel
