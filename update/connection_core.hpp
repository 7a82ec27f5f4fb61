// The part of the socket component that is the same on every system: host, port, state,
// generation, the bytes going out and coming in, and the order the service sees events in.
// An edge (Winsock, POSIX) supplies only name lookup, the socket, telling its events apart and
// the wake-up of its loop; it reports what the socket did through the On... calls below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update/connection.hpp"

namespace quorvel {

class ConnectionCore : public Connection {
 public:
  // State values besides kConnected.
  static constexpr std::int16_t kClosed = 0;
  static constexpr std::int16_t kResolving = 4;
  static constexpr std::int16_t kConnecting = 6;
  static constexpr std::int16_t kError = 9;

  ConnectionCore() = default;
  ConnectionCore(const ConnectionCore&) = delete;
  ConnectionCore& operator=(const ConnectionCore&) = delete;

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

 protected:
  // What one send or receive did. Received with `count` 0 is the peer's orderly end.
  enum class Io { kDone, kWouldBlock, kFailed };

  // The edge's part. Open starts a lookup (then SetState(kResolving)) or a socket and its
  // connection attempt (then SetState(kConnecting)) to the host, in the ANSI code page, at
  // RemotePort; a failure there is PostError. The port and the host's form are checked already.
  virtual void Open(const std::string& host) = 0;
  // Closes the socket; a lookup may be abandoned or left to end on its own.
  virtual void DropSocket() = 0;
  virtual Io Send(const char* bytes, std::size_t size, std::size_t& count) = 0;
  virtual Io Receive(char* buffer, std::size_t size, std::size_t& count) = 0;
  // Makes the loop call DeliverNotices soon, from its own turn.
  virtual void Wake() = 0;

  // What the socket did, from the edge's loop.
  void OnConnectDone(bool failed);
  void OnWritable(bool failed);
  // Data waiting (one receive), or the socket failed.
  void OnReadable(bool failed);
  // The peer has finished: what is still buffered is read, then Close; or it broke the
  // connection (failed): Error.
  void OnPeerClosed(bool failed);
  // The notices due, in order; those of an older connection are dropped.
  void DeliverNotices();

  void SetState(std::int16_t state) { state_ = state; }
  std::uint32_t Generation() const { return generation_; }
  bool NoticesDue() const { return !notices_.empty(); }
  // Part of the request is still waiting for room to be sent.
  bool Unsent() const { return sent_ < outgoing_.size(); }
  // The connection fails now, from the loop: Error at once.
  void ReportError();
  // The connection fails inside a call of the service: Error from the loop's next turn.
  void PostError();

 private:
  enum class Notice { kSent, kError };
  struct Due {
    Notice kind;
    std::uint32_t generation;
  };
  enum class Read { kMore, kDrained, kEnded, kGone };

  // Drops the connection: the socket closed, the unsent rest of the request dropped, the
  // state set. A new generation starts, so that anything of the old connection is dropped,
  // unless `keepGeneration`: an error reported later by a notice keeps it, since that notice
  // carries the current generation and must still be taken as current when it comes.
  void Reset(std::int16_t state, bool keepGeneration = false);
  void Post(Notice kind);
  // SendComplete, once per request, whichever comes first: its notice or the reply. False if
  // its handler ended the connection.
  bool SendCompleteFirst();
  void DeliverSendComplete();
  void SendPending();
  // One receive, handing over what came.
  Read ReadOnce();
  void Closed();
  bool Current(std::uint32_t generation) const { return generation == generation_; }
  // Still the same connection, and still open.
  bool Live(std::uint32_t generation) const {
    return Current(generation) && (state_ == kConnecting || state_ == kConnected);
  }

  ConnectionEvents* events_ = nullptr;
  std::wstring host_;
  std::int32_t port_ = 0;
  std::int16_t state_ = kClosed;
  // Changes on every Close and Connect: events of an older connection are dropped.
  std::uint32_t generation_ = 0;
  std::vector<Due> notices_;
  std::string outgoing_;
  std::size_t sent_ = 0;
  // The request is all sent and SendComplete not yet delivered.
  bool sendCompletePending_ = false;
  std::string received_;
};

}  // namespace quorvel
