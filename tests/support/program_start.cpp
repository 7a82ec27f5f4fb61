// Starting quorvel.exe as its own process, the way the window and end-to-end tests drive it.
#include "program_start.hpp"

namespace quorvel_test {

bool StartProgram(const std::wstring& path, const std::wstring& arguments, const std::wstring& server,
                  PROCESS_INFORMATION& started) {
  // The child inherits the environment: that is how it finds the test's server. Without one
  // the variable goes, and the program finds its server as a user's would.
  SetEnvironmentVariableW(L"QUORVEL_SERVER", server.empty() ? nullptr : server.c_str());
  std::wstring commandLine = L"\"" + path + L"\"" + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  started = PROCESS_INFORMATION{};
  return CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started) != FALSE;
}

}  // namespace quorvel_test
