// Blocking-socket pieces of the tests' loopback servers: listen on 127.0.0.1, read, send.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

namespace quorvel_test {

// A listening socket on 127.0.0.1 and a free port (written to port); INVALID_SOCKET on
// failure, with WSAGetLastError telling why.
SOCKET LoopbackListener(int& port);
// Reads up to the empty line that ends the request's headers, the peer's close, or
// timeoutMilliseconds without data.
std::string ReadRequest(SOCKET client, int timeoutMilliseconds = 5000);
// False once the peer is gone.
bool SendAll(SOCKET client, const std::string& bytes);

}  // namespace quorvel_test
