// Blocking-socket pieces of the tests' loopback servers: listen on 127.0.0.1, read, send,
// close. One interface over Winsock on Windows and POSIX sockets elsewhere.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#endif

#include <string>

namespace quorvel_test {

#ifdef _WIN32
using TestSocket = SOCKET;
inline constexpr TestSocket kNoSocket = INVALID_SOCKET;
#else
using TestSocket = int;
inline constexpr TestSocket kNoSocket = -1;
#endif

// Keeps the socket library up while it lives (Winsock's start-up; nothing elsewhere).
class SocketLibrary {
 public:
  SocketLibrary();
  ~SocketLibrary();
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;
};

// A listening socket on 127.0.0.1 and a free port (written to port); kNoSocket on failure,
// with the system's last socket error telling why.
TestSocket LoopbackListener(int& port);
// The last socket error of this thread (WSAGetLastError or errno).
int LastSocketError();
void CloseSocket(TestSocket socket);
// Reads up to the empty line that ends the request's headers, the peer's close, or
// timeoutMilliseconds without data.
std::string ReadRequest(TestSocket client, int timeoutMilliseconds = 5000);
// False once the peer is gone.
bool SendAll(TestSocket client, const std::string& bytes);
// Ends the sending side: the peer reads the end of the data.
void ShutdownSending(TestSocket client);
// True once the socket has something to read (or to accept) within milliseconds.
bool Readable(TestSocket socket, int milliseconds);

}  // namespace quorvel_test
