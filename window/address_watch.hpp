// Tells the window when the machine's set of local addresses changes (Wi-Fi to Ethernet, a VPN
// up or down, a new lease): Winsock's address-list notification, delivered as a window message
// in the same way as the connection's events, so everything stays on the window's thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

namespace quorvel {

class AddressChangeWatch {
 public:
  AddressChangeWatch() = default;
  ~AddressChangeWatch();
  AddressChangeWatch(const AddressChangeWatch&) = delete;
  AddressChangeWatch& operator=(const AddressChangeWatch&) = delete;

  // Posts message to window at the next change; false if the system cannot watch (the program
  // then simply does without early updates after network changes).
  bool Start(HWND window, UINT message);
  // After each message: asks for the next change.
  bool Rearm();

 private:
  bool winsockStarted_ = false;
  SOCKET socket_ = INVALID_SOCKET;
};

}  // namespace quorvel
