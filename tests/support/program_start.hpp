// Starting quorvel.exe from a test, pointed at a server on the loopback.
#pragma once

#include <windows.h>

#include <string>

namespace quorvel_test {

// Starts the program with arguments after its quoted path (e.g. L" -wiper"), QUORVEL_SERVER
// set to server ("host:port"), or unset when server is empty. False if it could not start; GetLastError tells
// why.
bool StartProgram(const std::wstring& path, const std::wstring& arguments, const std::wstring& server,
                  PROCESS_INFORMATION& started);

}  // namespace quorvel_test
