#include "settings/startup_settings.hpp"

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
  return settings;
}

}  // namespace quorvel
