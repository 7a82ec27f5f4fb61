// The registry store as Windows sees it, checked through advapi32's own wide functions.
#include <windows.h>

#include <string>
#include <vector>

#include "settings/settings.hpp"
#include "store_fixture.hpp"
#include "support/stored_settings.hpp"

using quorvelmod::GetRegString;
using quorvelmod::SaveRegString;

namespace {

const std::wstring kKey = quorvelmod::kSettingsKey;

struct RawValue {
  LSTATUS status = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

RawValue QueryWide(const wchar_t* subKey, const wchar_t* name) {
  RawValue raw;
  HKEY key = nullptr;
  raw.status = RegOpenKeyExW(HKEY_CURRENT_USER, subKey, 0, KEY_QUERY_VALUE, &key);
  if (raw.status != ERROR_SUCCESS) return raw;
  DWORD size = 0;
  raw.status = RegQueryValueExW(key, name, nullptr, &raw.type, nullptr, &size);
  if (raw.status == ERROR_SUCCESS) {
    raw.data.resize(size);
    raw.status = RegQueryValueExW(key, name, nullptr, &raw.type, raw.data.data(), &size);
    raw.data.resize(size);
  }
  RegCloseKey(key);
  return raw;
}

std::vector<BYTE> WideWithZero(const std::wstring& text) {
  const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
}

}  // namespace

TEST_F(SettingsStoreTest, ValuesLandUnderCurrentUserWithTheirTerminatingZero) {
  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kSettingsKey, quorvelmod::kIdentifierValue, L"abc"));
  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kSettingsKey, quorvelmod::kIntervalValue, L"900"));
  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kRunKey, quorvelmod::kAutostartValue,
                            L"C:\\Program Files\\Quorvel\\quorvel.exe -wiper"));

  const RawValue identifier = QueryWide(L"SOFTWARE\\Quorvel", L"identifiant");
  ASSERT_EQ(identifier.status, ERROR_SUCCESS);
  EXPECT_EQ(identifier.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(identifier.data, WideWithZero(L"abc"));

  const RawValue interval = QueryWide(L"SOFTWARE\\Quorvel", L"timeupdate");
  ASSERT_EQ(interval.status, ERROR_SUCCESS);
  EXPECT_EQ(interval.data, WideWithZero(L"900"));

  const RawValue autostart = QueryWide(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", L"quorvel");
  ASSERT_EQ(autostart.status, ERROR_SUCCESS);
  EXPECT_EQ(autostart.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(autostart.data, WideWithZero(L"C:\\Program Files\\Quorvel\\quorvel.exe -wiper"));

  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kRunKey, quorvelmod::kAutostartValue, L""));
  EXPECT_EQ(QueryWide(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", L"quorvel").data,
            WideWithZero(L" "));
}

TEST_F(SettingsStoreTest, StringsStoredWithoutZeroReadBackWhole) {
  // The system adds the zero itself when the byte after the data is one, so each buffer
  // here goes on past the stored size.
  quorvel_test::StoreRaw(kKey, "short", REG_SZ, "abcd", 3);
  EXPECT_EQ(QueryWide(kKey.c_str(), L"short").data.size(), 3 * sizeof(wchar_t));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"short", L"default"), L"abc");

  // 1024 characters with no zero fill the buffer exactly: still the whole text.
  const std::string letters(2000, 'x');
  quorvel_test::StoreRaw(kKey, "full", REG_SZ, letters.data(), 1024);
  EXPECT_EQ(QueryWide(kKey.c_str(), L"full").data.size(), 1024 * sizeof(wchar_t));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"full", L"default"), std::wstring(1024, L'x'));

  quorvel_test::StoreRaw(kKey, "over", REG_SZ, letters.data(), 1025);
  EXPECT_EQ(GetRegString(kRoot, kKey, L"over", L"default"), L"default");

  quorvel_test::StoreRaw(kKey, "empty", REG_SZ, "", 0);
  EXPECT_EQ(GetRegString(kRoot, kKey, L"empty", L"default"), L"");
}

TEST_F(SettingsStoreTest, OtherTypesReadByTheirType) {
  const BYTE binary[] = {0x41, 0x42, 0x00, 0x43};
  quorvel_test::StoreRaw(kKey, "binary", REG_BINARY, binary, sizeof(binary));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"binary", L"default"), L"");

  const DWORD numbers[] = {900, 0x100, 0, 0xFFFFFFFFu, 0x12345678};
  const wchar_t* texts[] = {L"900", L"256", L"0", L"4294967295", L"305419896"};
  for (int i = 0; i < 5; ++i) {
    quorvel_test::StoreRaw(kKey, "number", REG_DWORD, &numbers[i], sizeof(DWORD));
    EXPECT_EQ(GetRegString(kRoot, kKey, L"number", L"default"), texts[i]) << numbers[i];
  }
  // A number of the wrong length is no number, one byte short or one over.
  const BYTE five[] = {0x84, 0x03, 0x00, 0x00, 0x00};
  for (const DWORD size : {3u, 5u}) {
    quorvel_test::StoreRaw(kKey, "number", REG_DWORD, five, size);
    EXPECT_EQ(GetRegString(kRoot, kKey, L"number", L"default"), L"") << size << " bytes";
  }

  const char expand[] = "%SystemRoot%\\quorvel";
  quorvel_test::StoreRaw(kKey, "expand", REG_EXPAND_SZ, expand, sizeof(expand));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"expand", L"default"), L"%SystemRoot%\\quorvel");

  const char multi[] = "one\0two\0";
  quorvel_test::StoreRaw(kKey, "multi", REG_MULTI_SZ, multi, sizeof(multi));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"multi", L"default"), L"");
  quorvel_test::StoreRaw(kKey, "none", REG_NONE, "abc", 3);
  EXPECT_EQ(GetRegString(kRoot, kKey, L"none", L"default"), L"");

  // The size limit holds for every type.
  const std::vector<BYTE> bigBinary(2000, 1);
  quorvel_test::StoreRaw(kKey, "bigbinary", REG_BINARY, bigBinary.data(), 2000);
  EXPECT_EQ(GetRegString(kRoot, kKey, L"bigbinary", L"default"), L"default");
}

TEST_F(SettingsStoreTest, AnInvalidRootNeitherReadsNorWrites) {
  constexpr quorvelmod::RegRoot kNoRoot = 0x12345678u;
  EXPECT_FALSE(SaveRegString(kNoRoot, kKey, L"name", L"text"));
  EXPECT_EQ(GetRegString(kNoRoot, kKey, L"name", L"default"), L"default");
}

TEST_F(SettingsStoreTest, KeyGrantingOnlyReadRightsReadsAsMissing) {
  const std::wstring readOnly = kKey + L"\\ReadOnly";
  quorvel_test::StoreRaw(readOnly, "name", REG_SZ, "text", 5);
  ASSERT_EQ(GetRegString(kRoot, readOnly, L"name", L"default"), L"text");

  // Everyone may read the key; nobody may write it.
  quorvel_test::MakeKeyReadOnly(readOnly);
  if (HasFatalFailure()) return;

  HKEY probe = nullptr;
  const LSTATUS writable = RegOpenKeyExW(HKEY_CURRENT_USER, readOnly.c_str(), 0, KEY_SET_VALUE, &probe);
  if (writable == ERROR_SUCCESS) RegCloseKey(probe);

  std::wstring readBack;
  bool saved = false;
  if (writable != ERROR_SUCCESS) {
    readBack = GetRegString(kRoot, readOnly, L"name", L"default");
    saved = SaveRegString(kRoot, readOnly, L"name", L"other");
  }
  // Open the key again to everyone so that it can be removed.
  quorvel_test::OpenKeyAgain(readOnly);

  if (writable == ERROR_SUCCESS) GTEST_SKIP() << "this system does not enforce key access rights";
  EXPECT_EQ(readBack, L"default");
  EXPECT_FALSE(saved);
}
