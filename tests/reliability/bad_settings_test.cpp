// Start-up from damaged settings: values of any type and bytes, as a hand-edited registry (on
// Windows) or settings file (elsewhere) may hold them, read by the program's own start-up
// function in this process. Whatever is stored, start-up must give a usable state: an interval
// row of the list, the service on or off. One case starts the real quorvel.exe on such values,
// for the path from the store to the window.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../settings/store_fixture.hpp"
#include "settings/file_store_format.hpp"
#include "settings/startup_settings.hpp"

#ifdef _WIN32
#include <windows.h>

#include "quorvel_process.hpp"
#include "window/resource.hpp"
#else
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "settings/file_store.hpp"
#endif

namespace quorvel_test {
namespace {

using quorvel::StartupSettings;
// A value as the store holds it (not quorvel_test::StoredValue, which reads the registry).
using Value = quorvel::StoredValue;

// An ANSI string value with its terminating zero.
std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

Value Identifier(std::uint32_t type, std::string data) {
  return {quorvelmod::kHkeyCurrentUser, type, "SOFTWARE\\Quorvel", "identifiant", std::move(data)};
}
Value Interval(std::uint32_t type, std::string data) {
  return {quorvelmod::kHkeyCurrentUser, type, "SOFTWARE\\Quorvel", "timeupdate", std::move(data)};
}
Value Autostart(std::uint32_t type, std::string data) {
  return {quorvelmod::kHkeyCurrentUser, type, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "quorvel",
          std::move(data)};
}

constexpr std::uint32_t kSz = quorvel::kTypeString;
constexpr std::uint32_t kExpandSz = quorvel::kTypeExpandString;
constexpr std::uint32_t kBinary = quorvel::kTypeBinary;
constexpr std::uint32_t kDword = quorvel::kTypeDword;

class BadSettingsTest : public SettingsStoreTest {
 protected:
#ifdef _WIN32
  void TearDown() override {
    OpenKeyAgain(kSettingsKey);  // after the read-only case, whatever happened in it
    SettingsStoreTest::TearDown();
  }
#endif

  // Replaces what the store holds with these values, written as they are.
  void Store(const std::vector<Value>& values) {
#ifdef _WIN32
    ClearStoredSettings();
    for (const Value& value : values) {
      StoreRaw(std::wstring(value.key.begin(), value.key.end()), value.name, value.type, value.data);
    }
#else
    WriteStore(quorvel::FormatStoreText(values));
#endif
  }

  // What start-up makes of the store, checked to be usable.
  StartupSettings Start(const std::string& what) {
    const StartupSettings settings = quorvel::ReadStartupSettings();
    EXPECT_GE(settings.intervalRow, 0) << what;
    EXPECT_LE(settings.intervalRow, 59) << what;
    EXPECT_TRUE(settings.secondsLeft >= 60 && settings.secondsLeft <= 3600) << what;
    return settings;
  }

#ifndef _WIN32
  void WriteStore(const std::string& bytes) {
    const auto path = quorvel::SettingsFilePath();
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
#endif
};

TEST_F(BadSettingsTest, ValuesOverTheReadBuffer_ReadAsMissing) {
  Store({Identifier(kSz, Sz(std::string(1500, 'a'))), Interval(kSz, Sz("300" + std::string(1500, ' '))),
         Autostart(kSz, Sz("C:\\" + std::string(1500, 'x') + ".exe -wiper"))});
  const auto settings = Start("values over 1024 bytes");
  EXPECT_EQ(settings.identifier, L"");
  EXPECT_EQ(settings.intervalRow, 14);
  EXPECT_FALSE(settings.serviceActive);
}

TEST_F(BadSettingsTest, BinaryValues_ReadAsEmpty) {
  Store({Identifier(kBinary, std::string("\x01\x02\xff\x00zz", 6)),
         Interval(kBinary, std::string("\x2c\x01\x00\x00", 4)), Autostart(kBinary, "\x01")});
  const auto settings = Start("REG_BINARY values");
  EXPECT_EQ(settings.identifier, L"");
  EXPECT_EQ(settings.intervalRow, 14);
  EXPECT_FALSE(settings.serviceActive);
}

TEST_F(BadSettingsTest, NumberValues_ReadAsTheirDecimalText) {
  Store({Identifier(kDword, std::string("\x39\x30\x00\x00", 4)),  // 12345
         Interval(kDword, std::string("\x2c\x01\x00\x00", 4))});  // 300
  const auto settings = Start("REG_DWORD values");
  EXPECT_EQ(settings.identifier, L"12345");
  EXPECT_EQ(settings.intervalRow, 4);
  EXPECT_FALSE(settings.serviceActive);

  // A number of the wrong length is no number.
  Store({Interval(kDword, std::string("\x2c\x01\x00", 3))});
  EXPECT_EQ(Start("REG_DWORD of three bytes").intervalRow, 14);
}

TEST_F(BadSettingsTest, ExpandableStrings_ReadUnexpanded) {
  Store({Identifier(kExpandSz, Sz("%USERNAME%abc")), Interval(kExpandSz, Sz("600")),
         Autostart(kExpandSz, Sz("%SystemRoot%\\quorvel.exe -wiper"))});
  const auto settings = Start("REG_EXPAND_SZ values");
  EXPECT_EQ(settings.identifier, L"%USERNAME%abc");
  EXPECT_EQ(settings.intervalRow, 9);
  EXPECT_TRUE(settings.serviceActive);
}

TEST_F(BadSettingsTest, EmptyAutostartValue_MeansInactive) {
  // No bytes at all, not even the zero; one zero byte; spaces.
  for (const std::string& data : {std::string(), Sz(""), Sz("   ")}) {
    Store({Identifier(kSz, Sz("abc")), Autostart(kSz, data)});
    const auto settings = Start("empty Run value of " + std::to_string(data.size()) + " bytes");
    EXPECT_FALSE(settings.serviceActive) << data.size();
    EXPECT_EQ(settings.identifier, L"abc");
  }
}

#ifdef _WIN32
TEST_F(BadSettingsTest, KeyThatGrantsReadingOnly_ReadsAsMissing) {
  Store({Identifier(kSz, Sz("abc")), Interval(kSz, Sz("300"))});
  MakeKeyReadOnly(kSettingsKey);
  // The key can still be read by whoever asks for reading only.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  const bool enforced =
      RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS;
  if (!enforced) RegCloseKey(key);
  const auto settings = Start("read-only key");
  if (enforced) {
    // The program asks for writing too, even to read: the key reads as missing.
    EXPECT_EQ(settings.identifier, L"");
    EXPECT_EQ(settings.intervalRow, 14);
  } else {
    std::printf("note: this system does not enforce the key's access list\n");
    EXPECT_EQ(settings.identifier, L"abc");
  }
}
#else
TEST_F(BadSettingsTest, ReadOnlyStore_IsStillRead) {
  Store({Identifier(kSz, Sz("abc")), Interval(kSz, Sz("300"))});
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
#endif

TEST_F(BadSettingsTest, UnusableIntervals_FallBackToFifteenMinutes) {
  for (const char* interval : {"abc", "-5", "99999", "900.5", "2147483648", ""}) {
    Store({Interval(kSz, Sz(interval))});
    const auto settings = Start(std::string("interval \"") + interval + "\"");
    EXPECT_EQ(settings.intervalRow, 14) << interval;
    EXPECT_EQ(settings.secondsLeft, 900) << interval;
  }
}

TEST_F(BadSettingsTest, IdentifierWithControlCharacters_ReadsWhole) {
  const std::string identifier("ab\x01\x07\tc\r\nd\x1b\x7f", 11);
  Store({Identifier(kSz, Sz(identifier)), Interval(kSz, Sz("120")),
         Autostart(kSz, Sz("C:\\quorvel.exe -wiper"))});
  const auto settings = Start("identifier with control characters");
  EXPECT_EQ(settings.identifier, std::wstring(identifier.begin(), identifier.end()));
  EXPECT_EQ(settings.intervalRow, 1);
  EXPECT_TRUE(settings.serviceActive);
}

#ifndef _WIN32
TEST_F(BadSettingsTest, GarbledFile_ReadsWhatItCanAndAWriteKeepsIt) {
  // Lines a person or a broken disk could leave: binary junk, a cut line, bad escapes, and
  // one good value among them.
  std::string text("\x00\xff\xfe garbage\n", 12);
  text += "80000001\t1\tSOFTWARE\\Quorvel\tidentifiant\tabc%00\n";
  text += "80000001\t1\tSOFTWARE\\Quorvel\ttimeupdate\t%ZZ\n";
  text += "8000000\t1\tSOFTWARE\\Quorvel\ttimeupdate\t300%00\n";
  text += "80000001\t1\tSOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\tquorvel\t/q -wiper";
  WriteStore(text);
  auto settings = Start("garbled file");
  EXPECT_EQ(settings.identifier, L"abc");
  EXPECT_EQ(settings.intervalRow, 14);
  EXPECT_FALSE(settings.serviceActive);  // the cut last line is not read

  // Activation writes its values; the readable one read before is still there.
  ASSERT_TRUE(quorvelmod::SaveRegString(kRoot, quorvelmod::kSettingsKey, quorvelmod::kIntervalValue, L"120"));
  ASSERT_TRUE(
      quorvelmod::SaveRegString(kRoot, quorvelmod::kRunKey, quorvelmod::kAutostartValue, L"/q -wiper"));
  settings = Start("garbled file after writes");
  EXPECT_EQ(settings.identifier, L"abc");
  EXPECT_EQ(settings.intervalRow, 1);
  EXPECT_TRUE(settings.serviceActive);

  // A file of pure noise reads as an empty store.
  WriteStore(std::string(4096, '\x9c'));
  settings = Start("noise");
  EXPECT_EQ(settings.identifier, L"");
  EXPECT_FALSE(settings.serviceActive);
}
#endif

#ifdef _WIN32
// The real quorvel.exe on damaged values: its window comes up usable ("Quorvel 2.0", exactly one
// service button enabled) and shows what start-up read from them.
TEST_F(BadSettingsTest, RealProgramStartsUsableAndShowsWhatStartUpRead) {
  Store({Identifier(kExpandSz, Sz("%USERNAME%abc")), Interval(kDword, std::string("\x2c\x01\x00\x00", 4)),
         Autostart(kSz, Sz("C:\\" + std::string(1500, 'x') + ".exe -wiper"))});
  const StartupSettings read = Start("damaged values for the real program");
  EXPECT_EQ(read.identifier, L"%USERNAME%abc");
  EXPECT_EQ(read.intervalRow, 4);
  EXPECT_FALSE(read.serviceActive);

  // Nothing listens on port 9: should an update start, it fails without leaving the machine.
  QuorvelProcess program(L"", 9);
  ASSERT_TRUE(program.Started());
  const HWND window = program.Window();
  ASSERT_NE(window, nullptr) << "no window \"Quorvel 2.0\"";
  EXPECT_EQ(ClassOf(window), L"quorvelmain");
  EXPECT_EQ(TextOf(window), L"Quorvel 2.0");
  // Start-up is over once its state line is written; the window exists hidden before that.
  ASSERT_TRUE(program.WaitForLogLine(L"Le service est désactivé.", 10000)) << Utf8(program.Log());
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_EQ(TextOf(program.Control(IDC_TEXT1)), read.identifier);
  DWORD_PTR row = static_cast<DWORD_PTR>(LB_ERR);
  SendMessageTimeoutW(program.Control(IDC_LIST1), LB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, 5000, &row);
  EXPECT_EQ(static_cast<int>(static_cast<LRESULT>(row)), read.intervalRow);
  EXPECT_TRUE(IsWindowEnabled(program.Control(IDC_COMMAND3)));
  EXPECT_FALSE(IsWindowEnabled(program.Control(IDC_COMMAND4)));
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(program.WaitForExit(15000), 0) << "closing ends the program";
  // Every test program of the build shares this registry: nothing of the program's may stay
  // once the fixture has cleared it.
  ClearStoredSettings();
  HKEY key = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(StoredValue(kRunKey, L"quorvel"), kAbsent);
}
#endif

}  // namespace
}  // namespace quorvel_test
