// What start-up restores from the stored values: the service state, the identifier and the
// interval, with the interval's row in the list.
#pragma once

#include <cstdint>
#include <string>

#include "settings/interval.hpp"

namespace quorvel {

struct StartupSettings {
  bool serviceActive = false;                          // the autostart entry, trimmed, is not empty
  std::wstring identifier;                             // trimmed; empty when none is stored
  std::int32_t secondsLeft = kDefaultIntervalSeconds;  // the first countdown
  int intervalRow = kDefaultIntervalRow;               // the row shown selected
  std::wstring server;  // the chosen update server as stored, trimmed; empty when none
  std::int64_t lastUpdateTime = 0;  // when the latest update began, seconds since 1970; 0 when unknown
};

// Reads the stored values from the settings store.
StartupSettings ReadStartupSettings();

}  // namespace quorvel
