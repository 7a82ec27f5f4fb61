// The program's monotonic clock: milliseconds that follow real time and never go back (the
// update countdown's spacing and the tray's "since" times are taken from it).
#include "common/monotonic_clock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace quorvel {
namespace {

TEST(MonotonicClock, CountsMillisecondsAlongsideTheStandardClockAndNeverGoesBack) {
  using std::chrono::steady_clock;
  const auto standardBefore = steady_clock::now();
  const std::int64_t before = MonotonicMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  const std::int64_t after = MonotonicMs();
  const auto standardElapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - standardBefore).count();

  EXPECT_GT(before, 0);
  // Milliseconds, not seconds or microseconds: the sleep is seen at its length.
  EXPECT_GE(after - before, 245);
  EXPECT_LT(after - before, 5000);
  // The same rate as the standard clock over the same period (read just outside it).
  EXPECT_LE(after - before, standardElapsed + 1);
  EXPECT_GE(after - before, standardElapsed - 20);

  std::int64_t last = MonotonicMs();
  int backwards = 0;
  for (int i = 0; i < 200000; ++i) {
    const std::int64_t now = MonotonicMs();
    if (now < last) ++backwards;
    last = now;
  }
  EXPECT_EQ(backwards, 0);
}

}  // namespace
}  // namespace quorvel
