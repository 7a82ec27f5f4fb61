#include "settings/startup_settings.hpp"

#include <cstdint>
#include <optional>

#include "common/text.hpp"
#include "settings/settings.hpp"

namespace quorvel {
namespace {

constexpr int kDefaultIntervalRow = 14;
constexpr int kLastIntervalRow = 59;

// An optional sign and decimal digits only, within 32 bits.
std::optional<std::int32_t> ParseWholeNumber(const std::wstring& text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  if (i == text.size()) return std::nullopt;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return std::nullopt;
    value = value * 10 + (text[i] - L'0');
    if (value > std::int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

// seconds / 60 - 1, rounded to the nearest whole number, halves to the even neighbour.
std::int64_t RowForSeconds(std::int32_t seconds) {
  const std::int64_t offset = std::int64_t{seconds} - 60;
  std::int64_t whole = offset / 60;
  std::int64_t rest = offset % 60;
  if (rest < 0) {  // floor division
    rest += 60;
    --whole;
  }
  if (rest > 30 || (rest == 30 && whole % 2 != 0)) ++whole;
  return whole;
}

std::wstring ReadTrimmed(const wchar_t* subKey, const wchar_t* valueName) {
  return TrimSpaces(quorvelmod::GetRegString(quorvelmod::kHkeyCurrentUser, subKey, valueName, L""));
}

}  // namespace

void IntervalFromStoredText(const std::wstring& storedText, std::int32_t& seconds, int& row) {
  seconds = kDefaultIntervalSeconds;
  row = kDefaultIntervalRow;
  const auto stored = ParseWholeNumber(storedText);
  if (!stored) return;
  // A number that selects no row of the list is as unusable as no number at all.
  const std::int64_t storedRow = RowForSeconds(*stored);
  if (storedRow < 0 || storedRow > kLastIntervalRow) return;
  seconds = *stored;
  row = static_cast<int>(storedRow);
}

StartupSettings ReadStartupSettings() {
  StartupSettings settings;
  // The autostart entry doubles as the service state; deactivation leaves " " there.
  settings.serviceActive = !ReadTrimmed(quorvelmod::kRunKey, quorvelmod::kAutostartValue).empty();
  settings.identifier = ReadTrimmed(quorvelmod::kSettingsKey, quorvelmod::kIdentifierValue);
  IntervalFromStoredText(ReadTrimmed(quorvelmod::kSettingsKey, quorvelmod::kIntervalValue),
                         settings.secondsLeft, settings.intervalRow);
  return settings;
}

}  // namespace quorvel
