// What start-up restores from the store: service state, identifier, interval and its row.
#include "settings/startup_settings.hpp"

#include <cstdint>
#include <string>
#include <tuple>

#include "settings/activation.hpp"
#include "settings/settings.hpp"
#include "store_fixture.hpp"

using quorvel::IntervalFromStoredText;
using quorvel::ReadStartupSettings;
using quorvelmod::SaveRegString;

// What a start reads, as one value: active, identifier, seconds to the first update, row.
std::tuple<bool, std::wstring, std::int32_t, int> Startup() {
  const auto settings = ReadStartupSettings();
  return {settings.serviceActive, settings.identifier, settings.secondsLeft, settings.intervalRow};
}

TEST(IntervalFromStoredText, RowIsMinutesLessOneRoundedHalfToEven) {
  struct Case {
    const wchar_t* text;
    std::int32_t seconds;
    int row;
  };
  const Case cases[] = {
      {L"900", 900, 14}, {L"60", 60, 0},      {L"3600", 3600, 59}, {L"61", 61, 0},    {L"90", 90, 0},
      {L"150", 150, 2},  {L"210", 210, 2},    {L"270", 270, 4},    {L"89", 89, 0},    {L"91", 91, 1},
      {L"30", 30, 0},    {L"3629", 3629, 59}, {L"0900", 900, 14},  {L"+120", 120, 1}, {L"1800", 1800, 29},
  };
  for (const auto& c : cases) {
    const auto interval = IntervalFromStoredText(c.text);
    EXPECT_EQ(interval.seconds, c.seconds) << c.text;
    EXPECT_EQ(interval.row, c.row) << c.text;
  }
}

TEST(IntervalFromStoredText, UnusableTextGivesFifteenMinutes) {
  const wchar_t* unusable[] = {L"",
                               L"abc",
                               L"900.5",
                               L"12abc",
                               L"9 00",
                               L"-5",
                               L"0",
                               L"29",
                               L"3630",
                               L"99999",
                               L"-",
                               L"+",
                               L"1e3",
                               L"2147483648",
                               L"-2147483649",
                               L"99999999999999999999",
                               L"\x0661\x0662",
                               L" 900"};
  for (const wchar_t* text : unusable) {
    const auto interval = IntervalFromStoredText(text);
    EXPECT_EQ(interval.seconds, 900) << text;
    EXPECT_EQ(interval.row, 14) << text;
  }
}

TEST_F(SettingsStoreTest, StartupOnAnEmptyStoreIsInactiveWithFifteenMinutes) {
  EXPECT_EQ(Startup(), std::make_tuple(false, std::wstring(L""), 900, 14));
}

TEST_F(SettingsStoreTest, StartupRestoresTheStoredValuesTrimmed) {
  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kRunKey, quorvelmod::kAutostartValue,
                            L"C:\\Quorvel\\quorvel.exe -wiper"));
  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kSettingsKey, quorvelmod::kIdentifierValue, L"  mon id  "));
  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kSettingsKey, quorvelmod::kIntervalValue, L" 3600 "));
  EXPECT_EQ(Startup(), std::make_tuple(true, std::wstring(L"mon id"), 3600, 59));

  // After a deactivation: one space as the autostart entry; the other values stay.
  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kRunKey, quorvelmod::kAutostartValue, L""));
  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kSettingsKey, quorvelmod::kIntervalValue, L"60"));
  EXPECT_EQ(Startup(), std::make_tuple(false, std::wstring(L"mon id"), 60, 0));

  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kSettingsKey, quorvelmod::kIntervalValue, L"abc"));
  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kSettingsKey, quorvelmod::kIdentifierValue, L"   "));
  EXPECT_EQ(Startup(), std::make_tuple(false, std::wstring(L""), 900, 14));
}

TEST_F(SettingsStoreTest, StartupReadsWhenTheLatestUpdateBeganOrNothingUsable) {
  EXPECT_EQ(quorvel::ReadStartupSettings().lastUpdateTime, 0);
  ASSERT_TRUE(quorvel::StoreUpdateTime(1796774400));
  EXPECT_EQ(quorvel::ReadStartupSettings().lastUpdateTime, 1796774400);
  for (const wchar_t* unusable : {L"-5", L"12ab", L"99999999999999999999"}) {
    ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kSettingsKey, quorvelmod::kLastUpdateValue, unusable));
    EXPECT_EQ(quorvel::ReadStartupSettings().lastUpdateTime, 0) << unusable;
  }
}
