#include "settings/startup_settings.hpp"

#include <string>

#include "common/text.hpp"
#include "settings/settings.hpp"

namespace quorvel {
namespace {

std::wstring ReadTrimmed(const wchar_t* subKey, const wchar_t* valueName) {
  return TrimSpaces(quorvelmod::GetRegString(quorvelmod::kHkeyCurrentUser, subKey, valueName, L""));
}

}  // namespace

StartupSettings ReadStartupSettings() {
  StartupSettings settings;
  // The autostart entry doubles as the service state; deactivation leaves " " there.
  settings.serviceActive = !ReadTrimmed(quorvelmod::kRunKey, quorvelmod::kAutostartValue).empty();
  settings.identifier = ReadTrimmed(quorvelmod::kSettingsKey, quorvelmod::kIdentifierValue);
  const Interval interval =
      IntervalFromStoredText(ReadTrimmed(quorvelmod::kSettingsKey, quorvelmod::kIntervalValue));
  settings.secondsLeft = interval.seconds;
  settings.intervalRow = interval.row;
  settings.server = ReadTrimmed(quorvelmod::kSettingsKey, quorvelmod::kServerValue);
  // A value that is not a plain number reads as unknown: the start then waits its usual time.
  const std::wstring began = ReadTrimmed(quorvelmod::kSettingsKey, quorvelmod::kLastUpdateValue);
  if (!began.empty() && began.size() <= 18 && began.find_first_not_of(L"0123456789") == std::wstring::npos)
    settings.lastUpdateTime = std::stoll(began);
  return settings;
}

}  // namespace quorvel
