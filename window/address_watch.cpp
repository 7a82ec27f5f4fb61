#include "window/address_watch.hpp"

namespace quorvel {

AddressChangeWatch::~AddressChangeWatch() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  if (winsockStarted_) WSACleanup();
}

bool AddressChangeWatch::Start(HWND window, UINT message) {
  WSADATA data;
  winsockStarted_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  if (!winsockStarted_) return false;
  // The list watched is that of IPv4 addresses, the ones the update server sees.
  socket_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (socket_ == INVALID_SOCKET) return false;
  if (WSAAsyncSelect(socket_, window, message, FD_ADDRESS_LIST_CHANGE) != 0) return false;
  return Rearm();
}

bool AddressChangeWatch::Rearm() {
  if (socket_ == INVALID_SOCKET) return false;
  // WSAAsyncSelect made the socket non-blocking: the request stays pending and its completion
  // arrives as FD_ADDRESS_LIST_CHANGE. One request serves one change.
  DWORD returned = 0;
  if (WSAIoctl(socket_, SIO_ADDRESS_LIST_CHANGE, nullptr, 0, nullptr, 0, &returned, nullptr, nullptr) == 0) {
    return true;
  }
  return WSAGetLastError() == WSAEWOULDBLOCK;
}

}  // namespace quorvel
