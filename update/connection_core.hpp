// The part of the socket component that is the same on every system: host, port, state,
// generation, the bytes going out and coming in, and the order the service sees events in.
// An edge (Winsock, POSIX) supplies only name lookup, the socket, telling its events apart and
// the wake-up of its loop; it reports what the socket did through the On... calls below.
// With a TLS engine, the session sits between the core's buffers and the edge: the edge sends
// and receives records, the service sees plaintext, and Connect comes after the handshake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "update/connection.hpp"
#include "update/tls_engine.hpp"

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

  // From the next Connect on, the connection speaks TLS through this engine; none: plain.
  void SetTls(std::unique_ptr<TlsEngine> engine);
  bool UsesTls() const { return tls_ != nullptr; }
  // Why the last connection's TLS session failed (handshake, certificate); empty otherwise.
  const std::string& TlsFailure() const { return tlsFailure_; }
  // TlsFailure() when the peer hung up before the handshake ended (as a plain HTTP server may):
  // the core's own words, which an edge may say in its own language.
  static constexpr const char* kHandshakeCut = "the server ended the connection during the TLS handshake";

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
  // Part of the request (or of the TLS records) is still waiting for room to be sent.
  bool Unsent() const { return sent_ < outgoing_.size() || cipherSent_ < cipherOut_.size(); }
  // The socket is connected and the TLS handshake under way: the state is still kConnecting,
  // yet the edge waits for the peer's bytes and reports them as for a connected socket.
  bool Handshaking() const { return handshaking_; }
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
  // Plaintext received: DataArrival, after SendComplete.
  Read HandOver(const char* bytes, std::size_t size);
  // TLS: the records sent as far as the socket takes them.
  Io FlushRecords();
  // TLS: the handshake or the records the peer's bytes complete.
  Read TakeRecords();
  void HandshakeStep();
  void TlsFailed(const std::string& why);
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

  std::unique_ptr<TlsEngine> tls_;
  bool handshaking_ = false;
  // The request is in records not all sent yet.
  bool requestInRecords_ = false;
  std::string cipherIn_;
  std::string cipherOut_;
  std::size_t cipherSent_ = 0;
  std::string tlsFailure_;
};

}  // namespace quorvel
