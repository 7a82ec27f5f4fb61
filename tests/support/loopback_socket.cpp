// Listening, reading and sending on the tests' loopback sockets.
#include "loopback_socket.hpp"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace quorvel_test {

#ifdef _WIN32
SocketLibrary::SocketLibrary() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}
SocketLibrary::~SocketLibrary() { WSACleanup(); }
int LastSocketError() { return WSAGetLastError(); }
void CloseSocket(TestSocket socket) { closesocket(socket); }
void ShutdownSending(TestSocket client) { shutdown(client, SD_SEND); }
#else
SocketLibrary::SocketLibrary() = default;
SocketLibrary::~SocketLibrary() = default;
int LastSocketError() { return errno; }
void CloseSocket(TestSocket socket) { close(socket); }
void ShutdownSending(TestSocket client) { shutdown(client, SHUT_WR); }
#endif

TestSocket LoopbackListener(int& port) {
  const TestSocket listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == kNoSocket) return kNoSocket;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = LastSocketError();
    CloseSocket(listener);
#ifdef _WIN32
    WSASetLastError(error);
#else
    errno = error;
#endif
    return kNoSocket;
  }
  port = ntohs(address.sin_port);
  return listener;
}

std::string ReadRequest(TestSocket client, int timeoutMilliseconds) {
#ifdef _WIN32
  const DWORD timeout = static_cast<DWORD>(timeoutMilliseconds);
#else
  const timeval timeout{timeoutMilliseconds / 1000, (timeoutMilliseconds % 1000) * 1000};
#endif
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    const int count = static_cast<int>(recv(client, buffer, sizeof buffer, 0));
    if (count <= 0) break;
    request.append(buffer, static_cast<size_t>(count));
  }
  return request;
}

bool SendAll(TestSocket client, const std::string& bytes) {
#ifdef _WIN32
  constexpr int kFlags = 0;
#else
  constexpr int kFlags = MSG_NOSIGNAL;  // a gone peer is an answer, not a signal
#endif
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int count =
        static_cast<int>(send(client, bytes.data() + sent, static_cast<int>(bytes.size() - sent), kFlags));
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  return true;
}

bool Readable(TestSocket socket, int milliseconds) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(socket, &ready);
  timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return select(static_cast<int>(socket) + 1, &ready, nullptr, nullptr, &wait) > 0;
}

}  // namespace quorvel_test
