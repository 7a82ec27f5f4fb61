// What start-up restores from the stored values: the service state, the identifier and the
// interval, with the interval's row in the list.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

// The interval used when none is stored or the stored one is unusable: 15 minutes.
inline constexpr std::int32_t kDefaultIntervalSeconds = 900;

struct StartupSettings {
  bool serviceActive = false;           // the autostart entry, trimmed, is not empty
  std::wstring identifier;              // trimmed; empty when none is stored
  std::int32_t secondsLeft = kDefaultIntervalSeconds;  // the first countdown
  int intervalRow = 14;                 // 0 to 59: row "15" for 900 seconds
};

// Reads the three values from the settings store.
StartupSettings ReadStartupSettings();

// The list row for a stored interval text: seconds / 60 - 1, rounded half to even. A text
// that is not a whole number, or whose row would fall outside 0 to 59, gives 900 seconds
// and row 14 instead.
void IntervalFromStoredText(const std::wstring& storedText, std::int32_t& seconds, int& row);

}  // namespace quorvel
