// The socket component over Winsock: one non-blocking TCP client socket whose events, and the
// result of the host name lookup, come back as messages to a message-only window of the
// thread that uses the component. Handlers therefore run from that thread's ordinary message
// loop, one at a time, and the main window routes nothing. The order of events is the core's.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "common/unique_handle.hpp"
#include "update/connection_core.hpp"

namespace quorvel {

struct SocketTraits {
  using Handle = SOCKET;
  static SOCKET Empty() { return INVALID_SOCKET; }
  // Nothing can be done about a failed close; the socket is given up either way.
  static void Close(SOCKET socket) { (void)closesocket(socket); }
};
// Owns one socket; closes it when dropped. INVALID_SOCKET is the empty owner.
using UniqueSocket = UniqueHandle<SocketTraits>;

class WinsockConnection final : public ConnectionCore {
 public:
  // Winsock and the message-only window start with the first connection, on the thread that
  // makes it: a window whose service stays off never pays for them.
  WinsockConnection() = default;
  ~WinsockConnection() override;

  // A failed TLS session, in the window's words.
  std::wstring FailureLine() const override;

 private:
  // One host name lookup. Its buffer is written by Winsock until the answer is posted, so it
  // lives until that message has come, even when the lookup was abandoned.
  struct Lookup {
    HANDLE task = nullptr;
    std::uint32_t generation = 0;
    char hostent[MAXGETHOSTSTRUCT] = {};
  };

  void Open(const std::string& host) override;
  void DropSocket() override { socket_.reset(); }
  Io Send(const char* bytes, std::size_t size, std::size_t& count) override;
  Io Receive(char* buffer, std::size_t size, std::size_t& count) override;
  void Wake() override;

  // Starts Winsock and makes the window, once; false if the window could not be made.
  bool Started();
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnLookupDone(WPARAM task, LPARAM result);
  void OnSocketEvent(UINT message, WPARAM socket, LPARAM event);
  void StartConnect(const in_addr& address);
  UINT SocketMessage() const;

  bool startAttempted_ = false;
  bool winsockStarted_ = false;
  HWND window_ = nullptr;
  UniqueSocket socket_;
  std::list<std::unique_ptr<Lookup>> lookups_;
};

}  // namespace quorvel
