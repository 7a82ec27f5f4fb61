// quorveld's service: the core's UpdateService over the POSIX connection, one poll loop that
// sleeps until the next event, the log on standard output, messages and reasons on standard
// error, neither of which can hold the loop up.
#pragma once

namespace quorvel {

// `quorveld run`: the service until SIGTERM or SIGINT, following changes of the store; SIGHUP
// reads the store again, SIGUSR1 updates now. Returns the exit status.
int RunService();

// `quorveld once`: one update now with the stored identifier, the store left as it is. 0 for
// "found", 2 when the server does not know the identifier, 1 for anything else.
int RunOnce();

}  // namespace quorvel
