// Start-up from damaged settings: values written by hand into the real registry, then the real
// quorvel.exe started. Whatever is stored, the program must come up with a usable window: the
// window "Quorvel 2.0", exactly one service button enabled, an interval row selected.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "quorvel_process.hpp"
#include "window/resource.hpp"

namespace quorvel_test {
namespace {

constexpr wchar_t kIdentifier[] = L"identifiant";
constexpr wchar_t kInterval[] = L"timeupdate";
constexpr wchar_t kAutostart[] = L"quorvel";

// A value of any type and bytes, as a hand-edited registry may hold it.
void StoreRaw(const wchar_t* key, const wchar_t* name, DWORD type, const std::string& bytes) {
  quorvel_test::StoreRaw(key, std::string(name, name + wcslen(name)), type, bytes);
}

// An ANSI string value with its terminating zero.
std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

bool SettingsKeyIsGone() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    RegCloseKey(key);
    return false;
  }
  return true;
}

// What the started program shows.
struct Shown {
  std::wstring identifier;
  int row = -1;
  bool activateEnabled = false;
  bool deactivateEnabled = false;
  std::wstring log;
};

class BadSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearStoredSettings(); }
  void TearDown() override {
    OpenKeyAgain(kSettingsKey);
    ClearStoredSettings();
    // Every test program of the build shares this registry: nothing of ours may stay.
    EXPECT_TRUE(SettingsKeyIsGone());
    EXPECT_EQ(StoredValue(kRunKey, kAutostart), kAbsent);
  }

  // Starts quorvel.exe on the stored settings and checks that its window is usable.
  Shown StartAndCheck(const char* what) {
    Shown shown;
    // Nothing listens there: should an update start, it fails without leaving the machine.
    const DWORD startedAt = GetTickCount();
    QuorvelProcess program(L"", 9);
    EXPECT_TRUE(program.Started()) << what;
    if (!program.Started()) return shown;
    const HWND window = program.Window();
    EXPECT_NE(window, nullptr) << what << ": no window \"Quorvel 2.0\"";
    if (window == nullptr) return shown;
    EXPECT_EQ(ClassOf(window), L"quorvelmain") << what;
    EXPECT_EQ(TextOf(window), L"Quorvel 2.0") << what;
    // Start-up is over once its state line is written; the window exists hidden before that.
    EXPECT_TRUE(WaitFor([&] { return program.Log().find(L"Le service est") != std::wstring::npos; }, 10000))
        << what;
    EXPECT_TRUE(IsWindowVisible(window)) << what;
    shown.identifier = TextOf(program.Control(IDC_TEXT1));
    DWORD_PTR row = static_cast<DWORD_PTR>(LB_ERR);
    SendMessageTimeoutW(program.Control(IDC_LIST1), LB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, 5000, &row);
    shown.row = static_cast<int>(static_cast<LRESULT>(row));
    shown.activateEnabled = IsWindowEnabled(program.Control(IDC_COMMAND3));
    shown.deactivateEnabled = IsWindowEnabled(program.Control(IDC_COMMAND4));
    shown.log = program.Log();
    EXPECT_NE(shown.activateEnabled, shown.deactivateEnabled) << what << ": one service button enabled";
    EXPECT_GE(shown.row, 0) << what << ": a row selected";
    EXPECT_LE(shown.row, 59) << what;
    EXPECT_TRUE(program.IsRunning()) << what;
    const DWORD shownAt = GetTickCount();
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitForExit(15000), 0) << what << ": closing ends the program";
    std::printf("%s: checked %lu ms after the start; identifier %zu character(s), row %d, service %s\n", what,
                shownAt - startedAt, shown.identifier.size(), shown.row,
                shown.deactivateEnabled ? "active" : "inactive");
    return shown;
  }
};

TEST_F(BadSettingsTest, ValuesOverTheReadBuffer_ReadAsMissing) {
  StoreRaw(kSettingsKey, kIdentifier, REG_SZ, Sz(std::string(1500, 'a')));
  StoreRaw(kSettingsKey, kInterval, REG_SZ, Sz("300" + std::string(1500, ' ')));
  StoreRaw(kRunKey, kAutostart, REG_SZ, Sz("C:\\" + std::string(1500, 'x') + ".exe -wiper"));
  const Shown shown = StartAndCheck("values over 1024 bytes");
  EXPECT_EQ(shown.identifier, L"");
  EXPECT_EQ(shown.row, 14);
  EXPECT_TRUE(shown.activateEnabled);
}

TEST_F(BadSettingsTest, BinaryValues_ReadAsEmpty) {
  StoreRaw(kSettingsKey, kIdentifier, REG_BINARY, std::string("\x01\x02\xff\x00zz", 6));
  StoreRaw(kSettingsKey, kInterval, REG_BINARY, std::string("\x2c\x01\x00\x00", 4));
  StoreRaw(kRunKey, kAutostart, REG_BINARY, std::string("\x01", 1));
  const Shown shown = StartAndCheck("REG_BINARY values");
  EXPECT_EQ(shown.identifier, L"");
  EXPECT_EQ(shown.row, 14);
  EXPECT_TRUE(shown.activateEnabled);
}

TEST_F(BadSettingsTest, NumberValues_ReadAsTheirDecimalText) {
  StoreRaw(kSettingsKey, kIdentifier, REG_DWORD, std::string("\x39\x30\x00\x00", 4));  // 12345
  StoreRaw(kSettingsKey, kInterval, REG_DWORD, std::string("\x2c\x01\x00\x00", 4));    // 300
  const Shown shown = StartAndCheck("REG_DWORD values");
  EXPECT_EQ(shown.identifier, L"12345");
  EXPECT_EQ(shown.row, 4);
  EXPECT_TRUE(shown.activateEnabled);
}

TEST_F(BadSettingsTest, ExpandableStrings_ReadUnexpanded) {
  StoreRaw(kSettingsKey, kIdentifier, REG_EXPAND_SZ, Sz("%USERNAME%abc"));
  StoreRaw(kSettingsKey, kInterval, REG_EXPAND_SZ, Sz("600"));
  StoreRaw(kRunKey, kAutostart, REG_EXPAND_SZ, Sz("%SystemRoot%\\quorvel.exe -wiper"));
  const Shown shown = StartAndCheck("REG_EXPAND_SZ values");
  EXPECT_EQ(shown.identifier, L"%USERNAME%abc");
  EXPECT_EQ(shown.row, 9);
  EXPECT_TRUE(shown.deactivateEnabled);
}

TEST_F(BadSettingsTest, EmptyAutostartValue_MeansInactive) {
  StoreRaw(kSettingsKey, kIdentifier, REG_SZ, Sz("abc"));
  StoreRaw(kRunKey, kAutostart, REG_SZ, "");  // no bytes at all, not even the zero
  Shown shown = StartAndCheck("empty Run value, no bytes");
  EXPECT_EQ(shown.identifier, L"abc");
  EXPECT_TRUE(shown.activateEnabled);
  StoreRaw(kRunKey, kAutostart, REG_SZ, Sz(""));
  shown = StartAndCheck("empty Run value, one zero byte");
  EXPECT_TRUE(shown.activateEnabled);
}

TEST_F(BadSettingsTest, KeyThatGrantsReadingOnly_ReadsAsMissing) {
  StoreRaw(kSettingsKey, kIdentifier, REG_SZ, Sz("abc"));
  StoreRaw(kSettingsKey, kInterval, REG_SZ, Sz("300"));
  MakeKeyReadOnly(kSettingsKey);
  // The key can still be read by whoever asks for reading only.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  const bool enforced =
      RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS;
  if (!enforced) RegCloseKey(key);
  const Shown shown = StartAndCheck("read-only key");
  if (enforced) {
    // The program asks for writing too, even to read: the key reads as missing.
    EXPECT_EQ(shown.identifier, L"");
    EXPECT_EQ(shown.row, 14);
  } else {
    std::printf("note: this system does not enforce the key's access list\n");
    EXPECT_EQ(shown.identifier, L"abc");
  }
}

TEST_F(BadSettingsTest, UnusableIntervals_FallBackToFifteenMinutes) {
  for (const char* interval : {"abc", "-5", "99999", "900.5", "2147483648"}) {
    StoreRaw(kSettingsKey, kInterval, REG_SZ, Sz(interval));
    const std::string what = std::string("interval \"") + interval + "\"";
    const Shown shown = StartAndCheck(what.c_str());
    EXPECT_EQ(shown.row, 14) << what;
  }
}

TEST_F(BadSettingsTest, IdentifierWithControlCharacters_StartsUsable) {
  const std::string identifier("ab\x01\x07\tc\r\nd\x1b\x7f", 11);
  StoreRaw(kSettingsKey, kIdentifier, REG_SZ, Sz(identifier));
  StoreRaw(kSettingsKey, kInterval, REG_SZ, Sz("120"));
  StoreRaw(kRunKey, kAutostart, REG_SZ, Sz("C:\\quorvel.exe -wiper"));
  const Shown shown = StartAndCheck("identifier with control characters");
  EXPECT_EQ(shown.row, 1);
  EXPECT_TRUE(shown.deactivateEnabled);
  EXPECT_FALSE(shown.identifier.empty());
}

}  // namespace
}  // namespace quorvel_test
