// What the daemon's loop waits on besides its connection: signals, the countdown's timer, the
// kernel's address changes, the store's folder, the wall clock; and the resume check.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

#include "common/unique_handle.hpp"

namespace quorvel {

// SIGTERM, SIGINT, SIGHUP and SIGUSR1, blocked and read from a descriptor.
UniqueFd MakeSignalWatch();
// The next signal waiting on the watch, or 0.
int TakeSignal(int watch);

// Readable when the wall clock is set, and when the machine resumes from sleep: the kernel
// cancels such a timer then. Set again after each time it fires.
UniqueFd MakeClockWatch();

// Changes of the machine's addresses, from the kernel.
UniqueFd MakeAddressWatch();
// Reads every waiting message; true if an address was added or removed.
bool AddressesChanged(int watch);

// Writes into the store's folder (activate, deactivate, the service itself), and the folder's
// own removal, seen from its parent (the folder itself says so only once nothing holds it open,
// and the daemon's lock file does). The folder is made if it is missing.
UniqueFd MakeStoreWatch(const std::filesystem::path& store);
void Drain(int fd);

// Milliseconds on a clock.
using MsClock = std::function<std::int64_t()>;
std::int64_t BootClockMs();
std::int64_t MonotonicClockMs();

// A sleep seen from the clocks: the boot clock runs on while the machine sleeps, the monotonic
// one stops, so a jump of one past the other is a resume.
class ResumeCheck {
 public:
  // Longer than this is a sleep, not jitter.
  static constexpr std::int64_t kJumpMs = 2000;

  explicit ResumeCheck(MsClock boot = BootClockMs, MsClock monotonic = MonotonicClockMs);
  // True once after each sleep.
  bool Resumed();

 private:
  MsClock boot_;
  MsClock monotonic_;
  std::int64_t gap_;
};

}  // namespace quorvel
