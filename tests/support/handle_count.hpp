// How many handles (descriptors, off Windows) this process holds, also under Wine, for the
// tests that look for leaks.
#pragma once

namespace quorvel_test {

// Handles this process holds. Wine answers GetProcessHandleCount with 0, so there the count
// comes from the system's handle table. Elsewhere: the open descriptors. 0 if nothing tells.
unsigned long HandleCount();

}  // namespace quorvel_test
