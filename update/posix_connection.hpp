// The socket component over POSIX: one non-blocking TCP client socket, driven by the daemon's
// single poll loop. Results come back as the five events, always from Dispatch (never from
// inside Connect, Close or SendData); their order is the core's, as on Windows.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_handle.hpp"
#include "update/connection_core.hpp"

namespace quorvel {

class PosixConnection final : public ConnectionCore {
 public:
  // Which addresses of the server the connection uses: the first of either family, IPv4
  // only (the update's own exchange), or IPv6 only (the daemon's second exchange).
  enum class Family { kAny, kIPv4, kIPv6 };
  explicit PosixConnection(Family family = Family::kIPv4) : family_(family) {}
  Family AddressFamily() const { return family_; }
  // For the next connection.
  void SetFamily(Family family) { family_ = family; }
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
    noAddress_ = false;
    ConnectionCore::Connect();
  }
  // Why the last connection failed, in a few words ("Connection refused", "name not found",
  // the TLS session's verdict); empty when the system gave no reason.
  const std::string& FailureReason() const { return TlsFailure().empty() ? failure_ : TlsFailure(); }
  // The last connection failed because the name has no address of the chosen family.
  bool NoAddress() const { return noAddress_; }

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

  void StartConnect(const sockaddr_storage& address);
  void StartLookup(const std::string& host);
  void OnLookupDone();
  void OnSocket(short revents);

  UniqueFd socket_;
  // The lookup's end of a socket pair; its thread writes the address (or nothing) and exits.
  UniqueFd lookup_;
  std::string failure_;
  Family family_;
  bool noAddress_ = false;
  // Keeps the system's reason for a failure about to be reported.
  void Because(int error);
  // What one send or receive returned, as the core reads it.
  Io Result(ssize_t done, std::size_t& count);
};

}  // namespace quorvel
