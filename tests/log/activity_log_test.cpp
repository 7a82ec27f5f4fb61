#include "log/activity_log.hpp"

#include <gtest/gtest.h>

using quorvel::ActivityLog;
using quorvel::TimeOfDay;

namespace {
ActivityLog FixedClockLog(TimeOfDay time = {14, 5, 9}) {
  return ActivityLog([time] { return time; });
}
}  // namespace

TEST(WriteLog, LinesAreTimeStampedAndSeparatedByCrLf) {
  auto log = FixedClockLog();
  std::wstring mirrored, line;
  log.SetListener([&](const std::wstring& text, std::wstring_view added) {
    mirrored = text;
    line = added;
  });
  EXPECT_TRUE(log.WriteLog(L"Quorvel Version 2.0 - h", false));
  EXPECT_EQ(log.Text(), L"14:05:09  Quorvel Version 2.0 - h");
  EXPECT_TRUE(log.WriteLog(L"Le service est désactivé.", true));
  EXPECT_EQ(log.Text(), L"14:05:09  Quorvel Version 2.0 - h\r\n14:05:09  Le service est désactivé.");
  EXPECT_EQ(mirrored, log.Text());
  EXPECT_EQ(line, L"14:05:09  Le service est désactivé.");
  log.WriteLog(L"", true);  // an empty message still has its time and two spaces
  EXPECT_EQ(log.Text().substr(log.Text().size() - 12), L"\r\n14:05:09  ");
  log.WriteLog(L"suite", false);  // joins the last line
  EXPECT_EQ(line, L"14:05:09  suite");
  EXPECT_EQ(log.Text().substr(log.Text().size() - 27), L"\r\n14:05:09  14:05:09  suite");
}

TEST(WriteLog, TimeIsTwoDigitsEach) {
  auto log = FixedClockLog({0, 7, 3});
  log.WriteLog(L"x", false);
  EXPECT_EQ(log.Text(), L"00:07:03  x");
  EXPECT_EQ(quorvel::FormatTimeOfDay({23, 59, 59}), L"23:59:59");
}

TEST(WriteLog, CapIsTestedBeforeEachAppend) {
  auto log = FixedClockLog();
  // Fill to exactly 10000 characters: "hh:mm:ss  " is 10, so the message is 9990.
  log.WriteLog(std::wstring(9990, L'a'), false);
  ASSERT_EQ(log.Text().size(), 10000u);
  log.WriteLog(L"b", true);  // exactly at the cap: kept, grows past it
  EXPECT_EQ(log.Text().size(), 10000u + 2 + 11);
  log.WriteLog(L"c", true);  // over the cap: everything goes, the new line stands alone
  EXPECT_EQ(log.Text(), L"\r\n14:05:09  c");
}

TEST(WriteLog, LogOfOneCharacterOverTheCapIsCleared) {
  auto log = FixedClockLog();
  log.WriteLog(std::wstring(9991, L'a'), false);
  ASSERT_EQ(log.Text().size(), 10001u);
  log.WriteLog(L"d", false);
  EXPECT_EQ(log.Text(), L"14:05:09  d");
}

TEST(WriteLog, RealClockGivesAValidTime) {
  const TimeOfDay now = quorvel::LocalTimeOfDay();
  EXPECT_GE(now.hours, 0);
  EXPECT_LT(now.hours, 24);
  EXPECT_GE(now.minutes, 0);
  EXPECT_LT(now.minutes, 60);
  EXPECT_GE(now.seconds, 0);
  EXPECT_LT(now.seconds, 61);
}
