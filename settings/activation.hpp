// Storing the service's state, for both programs: what an activation writes ("Activer le
// service", `quorveld activate`), a deactivation, and the deactivation that follows a refused
// identifier. Each holds the store's lock for its writes only.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

// The autostart entry for the program at this path: quoted, so that a folder with spaces cannot
// start another program at logon.
std::wstring AutostartCommandFor(const std::wstring& programPath);

// The identifier (trimmed) and the interval in seconds, then the autostart entry, last, so that
// a reader who sees the service on sees its identifier and interval with it. False if the lock
// or a write failed.
bool StoreActivation(const std::wstring& identifier, std::int32_t intervalSeconds,
                     const std::wstring& autostartCommand);

// The autostart entry emptied: the service off at the next start.
bool StoreDeactivation();

// After the server refused `identifier`: the service off only while the store still holds that
// identifier, so that a newer activation is never undone by an older refusal.
bool StoreRefusal(const std::wstring& identifier);

// When an update began (seconds since 1970), for the next start's spacing.
bool StoreUpdateTime(std::int64_t unixSeconds);

}  // namespace quorvel
