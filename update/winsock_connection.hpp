// The socket component over Winsock: one non-blocking TCP client socket whose events, and the
// result of the host name lookup, come back as messages to a message-only window of the
// thread that made the component. Handlers therefore run from that thread's ordinary message
// loop, one at a time, and the main window routes nothing.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "common/unique_handle.hpp"
#include "update/connection.hpp"

namespace quorvel {

struct SocketTraits {
  using Handle = SOCKET;
  static SOCKET Empty() { return INVALID_SOCKET; }
  // Nothing can be done about a failed close; the socket is given up either way.
  static void Close(SOCKET socket) { (void)closesocket(socket); }
};
// Owns one socket; closes it when dropped. INVALID_SOCKET is the empty owner.
using UniqueSocket = UniqueHandle<SocketTraits>;

class WinsockConnection final : public Connection {
 public:
  // State values besides kConnected.
  static constexpr std::int16_t kClosed = 0;
  static constexpr std::int16_t kResolving = 4;
  static constexpr std::int16_t kConnecting = 6;
  static constexpr std::int16_t kError = 9;

  // Starts Winsock and makes the message-only window, on the calling thread.
  WinsockConnection();
  ~WinsockConnection() override;
  WinsockConnection(const WinsockConnection&) = delete;
  WinsockConnection& operator=(const WinsockConnection&) = delete;

  void SetEvents(ConnectionEvents* events) override { events_ = events; }
  void SetRemoteHost(const std::wstring& host) override { host_ = host; }
  std::wstring RemoteHost() const override { return host_; }
  void SetRemotePort(std::int32_t port) override { port_ = port; }
  std::int32_t RemotePort() const override { return port_; }
  std::int16_t State() const override { return state_; }

  void Connect() override;
  void Close() override;
  void SendData(const std::wstring& text) override;
  void GetData(std::wstring& data) override;

 private:
  // One host name lookup. Its buffer is written by Winsock until the answer is posted, so it
  // lives until that message has come, even when the lookup was abandoned.
  struct Lookup {
    HANDLE task = nullptr;
    std::uint32_t generation = 0;
    char hostent[MAXGETHOSTSTRUCT] = {};
  };

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnLookupDone(WPARAM task, LPARAM result);
  void OnSocketEvent(UINT message, WPARAM socket, LPARAM event);
  void OnNotice(WPARAM kind, LPARAM generation);

  void StartConnect(const in_addr& address);
  // Pushes what is left of the request; SendComplete once the last byte is on the wire.
  void SendPending();
  // One recv; false once the connection is gone (error reported, or closed by a handler).
  // `drained` is set once nothing more is waiting to be read.
  bool ReadOnce(bool& drained);
  // SendComplete, once per request, whichever comes first: its notice or the reply.
  void DeliverSendComplete();
  // Drops the connection: the socket closed, the unsent rest of the request dropped, the
  // state set. A new generation starts, so that messages queued for the old connection are
  // dropped, unless `keepGeneration`: an error reported later by a notice keeps it, since that
  // notice carries the current generation and must still be taken as current when it comes.
  void Reset(std::int16_t state, bool keepGeneration = false);
  void ReportError();
  // Reports an error from a later message, never from inside a call of the service.
  void PostError();
  void Notify(UINT kind);
  bool Current(std::uint32_t generation) const { return generation == generation_; }
  UINT SocketMessage() const;

  ConnectionEvents* events_ = nullptr;
  std::wstring host_;
  std::int32_t port_ = 0;
  std::int16_t state_ = kClosed;

  bool winsockStarted_ = false;
  HWND window_ = nullptr;
  // Changes on every Close and Connect: messages of an older connection are dropped.
  std::uint32_t generation_ = 0;
  UniqueSocket socket_;
  std::list<std::unique_ptr<Lookup>> lookups_;
  std::string outgoing_;
  size_t sent_ = 0;
  // The request is all sent and SendComplete not yet delivered.
  bool sendCompletePending_ = false;
  std::string received_;
};

}  // namespace quorvel
