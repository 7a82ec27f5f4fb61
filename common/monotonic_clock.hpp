// The one monotonic clock of the program: milliseconds since an arbitrary start, never set
// back. On Windows it reads the performance counter itself, as std::chrono::steady_clock does
// there, without the library's clock, which brings the threading and exception runtimes into
// quorvel.exe.
#pragma once

#include <cstdint>

namespace quorvel {

std::int64_t MonotonicMs();

}  // namespace quorvel
