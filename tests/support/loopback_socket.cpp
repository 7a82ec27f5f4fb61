// Listening, reading and sending on the tests' loopback sockets.
#include "loopback_socket.hpp"

namespace quorvel_test {

SOCKET LoopbackListener(int& port) {
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) return INVALID_SOCKET;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = WSAGetLastError();
    closesocket(listener);
    WSASetLastError(error);
    return INVALID_SOCKET;
  }
  port = ntohs(address.sin_port);
  return listener;
}

std::string ReadRequest(SOCKET client, int timeoutMilliseconds) {
  const DWORD timeout = static_cast<DWORD>(timeoutMilliseconds);
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
             sizeof timeout);
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    const int count = recv(client, buffer, sizeof buffer, 0);
    if (count <= 0) break;
    request.append(buffer, static_cast<size_t>(count));
  }
  return request;
}

bool SendAll(SOCKET client, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int count = send(client, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  return true;
}

}  // namespace quorvel_test
