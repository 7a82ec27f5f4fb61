#include "common/monotonic_clock.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
#endif

namespace quorvel {

std::int64_t MonotonicMs() {
#ifdef _WIN32
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  // Whole seconds and the rest apart, so that a machine up for months does not overflow.
  const std::int64_t perSecond = frequency.QuadPart;
  return counter.QuadPart / perSecond * 1000 + counter.QuadPart % perSecond * 1000 / perSecond;
#else
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
#endif
}

}  // namespace quorvel
