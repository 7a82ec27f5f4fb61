// quorveld's service: the core's UpdateService over the POSIX connection, one poll loop with a
// one-second tick, the log on standard output, message texts on standard error.
#pragma once

#include <string_view>

namespace quorvel {

// `quorveld run`: the service until SIGTERM or SIGINT, following changes of the store. Returns
// the exit status.
int RunService();

// `quorveld once`: one update now with the stored identifier. 0 for "found", 2 when the server
// does not know the identifier, 1 for anything else.
int RunOnce();

// The stored values as the window shows them, for `quorveld status`.
int ShowStatus();

// `quorveld activate`: what "Activer le service" stores; `quorveld deactivate` likewise.
int StoreActivation(const wchar_t* identifier, int minutes);
int StoreDeactivation();

// Writes the text, in UTF-8, and a line end to a descriptor at once.
void WriteLine(int fd, const std::wstring_view text);

}  // namespace quorvel
