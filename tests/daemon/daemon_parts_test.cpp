// Parts of quorveld that no process-level test can reach: a sleep seen from the clocks, and the
// output's bounded queue against a reader that stops reading.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "daemon/line_output.hpp"
#include "daemon/watches.hpp"

namespace {

TEST(ResumeCheck, FiresOnceWhenTheBootClockJumpsPastTheMonotonicOne) {
  std::int64_t boot = 50'000, monotonic = 40'000;
  quorvel::ResumeCheck check([&] { return boot; }, [&] { return monotonic; });
  // Both clocks running together, with jitter below the threshold: no sleep.
  boot += 1000;
  monotonic += 1000;
  EXPECT_FALSE(check.Resumed());
  boot += 1500;
  EXPECT_FALSE(check.Resumed());
  // Five minutes asleep: the boot clock ran on, the monotonic one did not.
  boot += 300'000;
  monotonic += 10;
  EXPECT_TRUE(check.Resumed());
  EXPECT_FALSE(check.Resumed());
  boot += quorvel::ResumeCheck::kJumpMs + 1;
  EXPECT_TRUE(check.Resumed());
}

TEST(LineOutput, AStalledReaderCostsLinesNeverTimeAndTheLossIsCounted) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
  {
    quorvel::LineOutput output(ends[1]);
    const std::string line(99, 'x');
    // Far more than the pipe and the queue hold; each write returns at once.
    for (int i = 0; i < 1000; ++i) output.Write(line);
    EXPECT_TRUE(output.Waiting());
    EXPECT_EQ(output.TakeLost(), 0u);  // said only once the output flows again
    // The reader comes back: everything queued arrives whole, then the count.
    std::string got;
    char buffer[65536];
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    while (output.Waiting()) {
      const ssize_t n = read(ends[0], buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
      output.Flush();
    }
    for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;)
      got.append(buffer, static_cast<size_t>(n));
    const size_t lines = got.size() / 100;
    EXPECT_EQ(got.size() % 100, 0u);
    EXPECT_EQ(output.TakeLost(), 1000 - lines);
    EXPECT_EQ(output.TakeLost(), 0u);
    EXPECT_GE(lines * 100, quorvel::LineOutput::kQueueCap - 100);
  }
  close(ends[0]);
  close(ends[1]);
}

}  // namespace
