// The program's own connection on this system (Winsock under Windows, POSIX sockets elsewhere),
// and the loop that delivers its events as the window's message loop or quorveld's poll loop
// does, so that one scenario file tests both edges.
#pragma once

#include <functional>

#ifdef _WIN32
#include "update/winsock_connection.hpp"
#else
#include "update/posix_connection.hpp"
#endif

namespace quorvel_test {

#ifdef _WIN32
using PlatformConnection = quorvel::WinsockConnection;
#else
using PlatformConnection = quorvel::PosixConnection;
#endif

// Delivers the connection's events, waiting at most stepMilliseconds at a time, until done()
// or the deadline; false on timeout.
bool PumpUntil(PlatformConnection& connection, const std::function<bool()>& done, int milliseconds = 10000,
               int stepMilliseconds = 20);
// Delivers its events for a while, whatever happens.
void PumpFor(PlatformConnection& connection, int milliseconds);

// True when the Windows build runs under Wine (false on any other system).
bool UnderWine();

}  // namespace quorvel_test
