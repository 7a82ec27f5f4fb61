// The test thread's message loop, pumped as the main window's loop does.
#pragma once

#include <functional>

namespace quorvel_test {

// Dispatches every message waiting in this thread's queue.
void DispatchPending();
// Waits for messages in steps of stepMilliseconds, dispatching them, until done() or the
// deadline; false on timeout.
bool PumpUntil(const std::function<bool()>& done, int milliseconds = 10000, int stepMilliseconds = 20);
// Pumps for a while whatever happens.
void PumpFor(int milliseconds);

}  // namespace quorvel_test
