// The socket component over POSIX: one non-blocking TCP client socket, driven by the daemon's
// single poll loop. Results come back as the five events, always from Dispatch (never from
// inside Connect, Close or SendData); their order is the core's, as on Windows.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_handle.hpp"
#include "update/connection_core.hpp"

namespace quorvel {

class PosixConnection final : public ConnectionCore {
 public:
  PosixConnection() = default;
  ~PosixConnection() override = default;

  // For the poll loop: the descriptors to wait on are appended to fds; the timeout the loop
  // may wait at most (0 while a notice is due, -1 otherwise).
  void AddPollFds(std::vector<pollfd>& fds) const;
  int PollTimeout() const { return NoticesDue() ? 0 : -1; }
  // Delivers what poll reported for the descriptors AddPollFds gave, and the notices due.
  void Dispatch(const std::vector<pollfd>& fds);
  // Nothing under way: no socket, no lookup, no notice.
  bool Idle() const { return !socket_ && !lookup_ && !NoticesDue(); }
  void Connect() override {
    failure_.clear();
    ConnectionCore::Connect();
  }
  // Why the last connection failed, in a few words ("Connection refused", "name not found");
  // empty when the system gave no reason.
  const std::string& FailureReason() const { return failure_; }

 private:
  void Open(const std::string& host) override;
  // A lookup under way finishes on its own and is ignored.
  void DropSocket() override {
    socket_.reset();
    lookup_.reset();
  }
  Io Send(const char* bytes, std::size_t size, std::size_t& count) override;
  Io Receive(char* buffer, std::size_t size, std::size_t& count) override;
  // The loop asks PollTimeout before it sleeps: a notice due keeps it awake.
  void Wake() override {}

  void StartConnect(std::uint32_t address);
  void StartLookup(const std::string& host);
  void OnLookupDone();
  void OnSocket(short revents);

  UniqueFd socket_;
  // The lookup's end of a socket pair; its thread writes the address (or nothing) and exits.
  UniqueFd lookup_;
  std::string failure_;
  // Keeps the system's reason for a failure about to be reported.
  void Because(int error);
  // What one send or receive returned, as the core reads it.
  Io Result(ssize_t done, std::size_t& count);
};

}  // namespace quorvel
