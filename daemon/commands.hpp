// quorveld's short commands: they read or write the store and end. Each returns its exit status.
#pragma once

#include <cstdint>
#include <string>

#include "settings/startup_settings.hpp"

namespace quorvel {

// The running program's full path, for the autostart entry.
std::wstring ProgramPath();

// Whether each update also goes over IPv6: a value of the daemon only, beside the identifier
// and the interval ("1" on; missing or blank off). The caller holds the store's lock.
bool StoredIpv6();

// The stored settings and the IPv6 choice, read together under the store's shared lock.
struct StoredState {
  StartupSettings settings;
  bool ipv6 = false;
  bool locked = false;  // the lock was had in time
};
// Without the lock nothing is read, unless readUnlocked.
StoredState ReadStoredState(bool readUnlocked);

// What `activate` does with the IPv6 value: --ipv6 sets it, --no-ipv6 clears it, neither keeps
// it (as the interval is kept without --interval).
enum class Ipv6Choice { kKeep, kOn, kOff };

// `quorveld activate`: the identifier is refused (status 2) when blank, when it holds a control
// character, or when it is longer than the store can read back. minutes 0 keeps the stored
// interval.
int Activate(const std::string& identifier, int minutes, Ipv6Choice ipv6);
int Deactivate();

// `quorveld status`: the stored values, whether a `run` uses them, the last update. 0 when the
// service is on, 3 when it is off, 4 when the store cannot be read.
int ShowStatus();

// Writes the line and a line end to a descriptor (a command's output; the loop has its own).
void PrintLine(int fd, const std::string& line);

}  // namespace quorvel
