// Start-up from a damaged settings file, on systems without the registry: the same hand-made
// values as in the registry cases, written straight into the file, then read the way start-up
// reads them. Reading never fails and always gives a usable state.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../settings/store_fixture.hpp"
#include "settings/file_store.hpp"
#include "settings/file_store_format.hpp"
#include "settings/settings.hpp"
#include "settings/startup_settings.hpp"
#include "settings/stored_value.hpp"

namespace {

using quorvel::StoredValue;

constexpr std::uint32_t kRoot = quorvelmod::kHkeyCurrentUser;
const std::string kSettingsKey = "SOFTWARE\\Quorvel";
const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

StoredValue Identifier(std::uint32_t type, std::string data) {
  return {kRoot, type, kSettingsKey, "identifiant", std::move(data)};
}
StoredValue Interval(std::uint32_t type, std::string data) {
  return {kRoot, type, kSettingsKey, "timeupdate", std::move(data)};
}
StoredValue Autostart(std::uint32_t type, std::string data) {
  return {kRoot, type, kRunKey, "quorvel", std::move(data)};
}

class BadSettingsFileTest : public SettingsStoreTest {
 protected:
  void WriteFile(const std::string& bytes) {
    const auto path = quorvel::SettingsFilePath();
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
  void WriteValues(const std::vector<StoredValue>& values) {
    WriteFile(quorvel::FormatStoreText(values));
  }
  // What start-up makes of the store, checked to be usable.
  quorvel::StartupSettings Start(const std::string& what) {
    const quorvel::StartupSettings settings = quorvel::ReadStartupSettings();
    EXPECT_GE(settings.intervalRow, 0) << what;
    EXPECT_LE(settings.intervalRow, 59) << what;
    EXPECT_EQ(settings.secondsLeft >= 60 && settings.secondsLeft <= 3600, true) << what;
    return settings;
  }
};

TEST_F(BadSettingsFileTest, ValuesOverTheReadBuffer_ReadAsMissing) {
  WriteValues({Identifier(quorvel::kTypeString, Sz(std::string(1500, 'a'))),
               Interval(quorvel::kTypeString, Sz("300" + std::string(1500, ' '))),
               Autostart(quorvel::kTypeString, Sz("/" + std::string(1500, 'x') + " -wiper"))});
  const auto settings = Start("values over 1024 bytes");
  EXPECT_EQ(settings.identifier, L"");
  EXPECT_EQ(settings.intervalRow, 14);
  EXPECT_FALSE(settings.serviceActive);
}

TEST_F(BadSettingsFileTest, BinaryNumberAndExpandableValues_ReadByTheirType) {
  WriteValues({Identifier(quorvel::kTypeBinary, std::string("\x01\x02\xff\x00zz", 6)),
               Interval(quorvel::kTypeBinary, std::string("\x2c\x01\x00\x00", 4)),
               Autostart(quorvel::kTypeBinary, "\x01")});
  auto settings = Start("REG_BINARY values");
  EXPECT_EQ(settings.identifier, L"");
  EXPECT_EQ(settings.intervalRow, 14);
  EXPECT_FALSE(settings.serviceActive);

  WriteValues({Identifier(quorvel::kTypeDword, std::string("\x39\x30\x00\x00", 4)),
               Interval(quorvel::kTypeDword, std::string("\x2c\x01\x00\x00", 4))});
  settings = Start("REG_DWORD values");
  EXPECT_EQ(settings.identifier, L"12345");
  EXPECT_EQ(settings.intervalRow, 4);

  // A number of the wrong length is no number.
  WriteValues({Interval(quorvel::kTypeDword, std::string("\x2c\x01\x00", 3))});
  EXPECT_EQ(Start("REG_DWORD of three bytes").intervalRow, 14);

  WriteValues({Identifier(quorvel::kTypeExpandString, Sz("%USERNAME%abc")),
               Interval(quorvel::kTypeExpandString, Sz("600")),
               Autostart(quorvel::kTypeExpandString, Sz("$HOME/quorvel -wiper"))});
  settings = Start("REG_EXPAND_SZ values");
  EXPECT_EQ(settings.identifier, L"%USERNAME%abc");
  EXPECT_EQ(settings.intervalRow, 9);
  EXPECT_TRUE(settings.serviceActive);
}

TEST_F(BadSettingsFileTest, EmptyAutostartValue_MeansInactive) {
  for (const std::string& data : {std::string(), Sz(""), Sz("   ")}) {
    WriteValues({Identifier(quorvel::kTypeString, Sz("abc")), Autostart(quorvel::kTypeString, data)});
    const auto settings = Start("empty Run value");
    EXPECT_FALSE(settings.serviceActive);
    EXPECT_EQ(settings.identifier, L"abc");
  }
}

TEST_F(BadSettingsFileTest, ReadOnlyStore_IsStillRead) {
  WriteValues({Identifier(quorvel::kTypeString, Sz("abc")), Interval(quorvel::kTypeString, Sz("300"))});
  const auto path = quorvel::SettingsFilePath();
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(chmod(path.parent_path().c_str(), 0555), 0);
  const auto settings = Start("read-only file and folder");
  EXPECT_EQ(settings.identifier, L"abc");
  EXPECT_EQ(settings.intervalRow, 4);
  // A write may fail (as anyone but root); either way the stored values stay readable.
  (void)quorvelmod::SaveRegString(kRoot, quorvelmod::kSettingsKey, quorvelmod::kIntervalValue, L"600");
  const auto after = Start("after a write to the read-only store");
  EXPECT_EQ(after.identifier, L"abc");
  EXPECT_TRUE(after.intervalRow == 4 || after.intervalRow == 9);
  chmod(path.parent_path().c_str(), 0755);
  chmod(path.c_str(), 0644);
}

TEST_F(BadSettingsFileTest, UnusableIntervals_FallBackToFifteenMinutes) {
  for (const char* interval : {"abc", "-5", "99999", "900.5", "2147483648", ""}) {
    WriteValues({Interval(quorvel::kTypeString, Sz(interval))});
    const auto settings = Start(std::string("interval \"") + interval + "\"");
    EXPECT_EQ(settings.intervalRow, 14) << interval;
    EXPECT_EQ(settings.secondsLeft, 900) << interval;
  }
}

TEST_F(BadSettingsFileTest, IdentifierWithControlCharacters_ReadsWhole) {
  const std::string identifier("ab\x01\x07\tc\r\nd\x1b\x7f", 11);
  WriteValues({Identifier(quorvel::kTypeString, Sz(identifier))});
  const auto settings = Start("identifier with control characters");
  EXPECT_EQ(settings.identifier, std::wstring(identifier.begin(), identifier.end()));
}

TEST_F(BadSettingsFileTest, GarbledFile_ReadsWhatItCanAndAWriteKeepsIt) {
  // Lines a person or a broken disk could leave: binary junk, a cut line, bad escapes, and
  // one good value among them.
  std::string text("\x00\xff\xfe garbage\n", 12);
  text += "80000001\t1\tSOFTWARE\\Quorvel\tidentifiant\tabc%00\n";
  text += "80000001\t1\tSOFTWARE\\Quorvel\ttimeupdate\t%ZZ\n";
  text += "8000000\t1\tSOFTWARE\\Quorvel\ttimeupdate\t300%00\n";
  text += "80000001\t1\tSOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\tquorvel\t/q -wiper";
  WriteFile(text);
  auto settings = Start("garbled file");
  EXPECT_EQ(settings.identifier, L"abc");
  EXPECT_EQ(settings.intervalRow, 14);
  EXPECT_FALSE(settings.serviceActive);  // the cut last line is not read

  // Activation writes its values; the readable one read before is still there.
  ASSERT_TRUE(quorvelmod::SaveRegString(kRoot, quorvelmod::kSettingsKey, quorvelmod::kIntervalValue, L"120"));
  ASSERT_TRUE(quorvelmod::SaveRegString(kRoot, quorvelmod::kRunKey, quorvelmod::kAutostartValue, L"/q -wiper"));
  settings = Start("garbled file after writes");
  EXPECT_EQ(settings.identifier, L"abc");
  EXPECT_EQ(settings.intervalRow, 1);
  EXPECT_TRUE(settings.serviceActive);

  // A file of pure noise reads as an empty store.
  WriteFile(std::string(4096, '\x9c'));
  settings = Start("noise");
  EXPECT_EQ(settings.identifier, L"");
  EXPECT_FALSE(settings.serviceActive);
}

}  // namespace
