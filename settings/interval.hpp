// The update interval's rules, in one place: the list's rows, the default, and how a row and
// a stored text become seconds.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

// The list offers 1 to 60 minutes: row 0 is one minute, row 59 an hour.
inline constexpr int kIntervalRows = 60;
inline constexpr int kLastIntervalRow = kIntervalRows - 1;

// The interval used when none is stored, the stored one is unusable or no row is selected:
// 15 minutes, never 0, so that the server is not called every second.
inline constexpr std::int32_t kDefaultIntervalSeconds = 900;
inline constexpr int kDefaultIntervalRow = 14;

// The seconds a row stands for; a row outside the list gives the default.
constexpr std::int32_t IntervalSecondsForRow(int row) {
  if (row < 0 || row > kLastIntervalRow) return kDefaultIntervalSeconds;
  return static_cast<std::int32_t>(static_cast<std::int16_t>((row + 1) * 60));
}
static_assert(IntervalSecondsForRow(kDefaultIntervalRow) == kDefaultIntervalSeconds);

struct Interval {
  std::int32_t seconds = kDefaultIntervalSeconds;
  int row = kDefaultIntervalRow;
};

// The pieces of IntervalFromStoredText (inline, so that start-up fills its fields directly):
// a stored text as decimal seconds, an optional sign first, within 32 bits (false if not);
// and the list row for seconds, seconds / 60 - 1 rounded half to even, which may fall outside
// the list.
bool ParseStoredSeconds(const std::wstring& text, std::int32_t& seconds);
int RowForStoredSeconds(std::int32_t seconds);

// The interval a stored text gives: its seconds as they are, and the list row
// seconds / 60 - 1, rounded half to even. A text that is not a whole number, or whose row
// would fall outside the list, gives the default seconds and row instead.
inline Interval IntervalFromStoredText(const std::wstring& storedText) {
  std::int32_t seconds = 0;
  if (!ParseStoredSeconds(storedText, seconds)) return {};
  // A number that selects no row of the list is as unusable as no number at all.
  const int row = RowForStoredSeconds(seconds);
  if (row < 0 || row > kLastIntervalRow) return {};
  return {seconds, row};
}

}  // namespace quorvel
