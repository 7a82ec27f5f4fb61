// The socket component over POSIX: one non-blocking TCP client socket, driven by the daemon's
// single poll loop. Results come back as the five events, always from Dispatch (never from
// inside Connect, Close or SendData), so the service sees the same order as on Windows.
#pragma once

#include <poll.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_handle.hpp"
#include "update/connection.hpp"

namespace quorvel {

class PosixConnection final : public Connection {
 public:
  // State values besides kConnected.
  static constexpr std::int16_t kClosed = 0;
  static constexpr std::int16_t kResolving = 4;
  static constexpr std::int16_t kConnecting = 6;
  static constexpr std::int16_t kError = 9;

  PosixConnection() = default;
  ~PosixConnection() override = default;
  PosixConnection(const PosixConnection&) = delete;
  PosixConnection& operator=(const PosixConnection&) = delete;

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

  // For the poll loop: the descriptors to wait on are appended to fds; the timeout the loop
  // may wait at most (0 while a notice is due, -1 otherwise).
  void AddPollFds(std::vector<pollfd>& fds) const;
  int PollTimeout() const { return notices_.empty() ? -1 : 0; }
  // Delivers what poll reported for the descriptors AddPollFds gave, and the notices due.
  void Dispatch(const std::vector<pollfd>& fds);
  // Why the last connection failed, in a few words ("connection refused"); empty if it did not.
  const std::string& FailureReason() const { return failure_; }
  // Nothing under way: no socket, no lookup, no notice.
  bool Idle() const { return !socket_ && !lookup_ && notices_.empty(); }

 private:
  enum class Notice { kSent, kError };
  struct Due {
    Notice kind;
    std::uint32_t generation;
  };

  void StartConnect(std::uint32_t address);
  void StartLookup(const std::string& host);
  void OnLookupDone();
  void OnSocket(short revents);
  void SendPending();
  // One recv; false once the connection is gone (closed, error reported, or a handler closed it).
  bool ReadOnce();
  void DeliverSendComplete();
  // The connection is given up: state kError, nothing left to send or wait for.
  void Fail();
  // Fail, and Error now (from the loop) or later (from inside a call of the service).
  void ReportError(int error);
  void PostError(int error);
  void DeliverNotices();
  bool Current(std::uint32_t generation) const { return generation == generation_; }

  ConnectionEvents* events_ = nullptr;
  std::wstring host_;
  std::int32_t port_ = 0;
  std::int16_t state_ = kClosed;

  // Changes on every Close and Connect: anything of an older connection is dropped.
  std::uint32_t generation_ = 0;
  UniqueFd socket_;
  // The lookup's end of a socket pair; its thread writes the address (or nothing) and exits.
  UniqueFd lookup_;
  std::vector<Due> notices_;
  std::string outgoing_;
  size_t sent_ = 0;
  bool sendCompletePending_ = false;
  std::string received_;
  std::string failure_;
};

}  // namespace quorvel
