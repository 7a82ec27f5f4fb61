// Parts of quorveld that no process-level test can reach: a sleep seen from the clocks, the
// output's bounded queue against a reader that stops reading, and the last update's record
// written over and over.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "daemon/line_output.hpp"
#include "daemon/run_state.hpp"
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

// The record is swapped with its spare at each update: a short record after a long one must not
// keep the long one's end, and the record read is always the last one written, whole.
TEST(LastUpdate, EachRecordReplacesTheLastWholeWhateverTheirLengths) {
  char folder[] = "/tmp/quorveld-state-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const char* before = std::getenv("XDG_STATE_HOME");
  const std::string kept = before ? before : "";
  setenv("XDG_STATE_HOME", folder, 1);
  EXPECT_EQ(quorvel::LastUpdateLine(), "");
  const std::string reasons[] = {"", std::string(300, 'x'), "court", std::string(200, 'y'), ""};
  const char* words[] = {"found", "failed", "denied", "failed", "found"};
  for (int i = 0; i < 5; ++i) {
    quorvel::SaveLastUpdate(words[i], reasons[i]);
    const std::string line = quorvel::LastUpdateLine();
    const std::string expected = std::string(words[i]) + (reasons[i].empty() ? "" : " " + reasons[i]);
    ASSERT_GE(line.size(), expected.size()) << i;
    EXPECT_EQ(line.substr(line.size() - expected.size()), expected) << i;
    EXPECT_EQ(std::filesystem::file_size(std::string(folder) + "/quorvel/last-update"), line.size() + 1) << i;
  }
  if (before) setenv("XDG_STATE_HOME", kept.c_str(), 1); else unsetenv("XDG_STATE_HOME");
  std::filesystem::remove_all(folder);
}

}  // namespace
