// The store's contract, the same for the registry (under Wine) and the file store (natively).
#include <string>

#include "common/text.hpp"
#include "settings/settings.hpp"
#include "store_fixture.hpp"

using quorvelmod::GetRegString;
using quorvelmod::SaveRegString;

namespace {
const std::wstring kKey = quorvelmod::kSettingsKey;
}

TEST_F(SettingsStoreTest, EmptyStringIsStoredAsOneSpace) {
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""));
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"default"), L" ");

  // Deactivation leaves one space as the autostart entry; trimmed, it is empty again.
  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kRunKey, quorvelmod::kAutostartValue, L""));
  const std::wstring entry = GetRegString(kRoot, quorvelmod::kRunKey, quorvelmod::kAutostartValue, L"x");
  EXPECT_EQ(entry, L" ");
  EXPECT_EQ(quorvel::TrimSpaces(entry), L"");
}

TEST_F(SettingsStoreTest, MissingKeyOrValueReadsAsDefault) {
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"default"), L"default");
  EXPECT_EQ(GetRegString(kRoot, kKey + L"\\Absent", L"name", L""), L"");

  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"abc"));
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIntervalValue, L"900"), L"900");
  EXPECT_EQ(GetRegString(kRoot, kKey + L"\\Absent", quorvelmod::kIdentifierValue, L"d"), L"d");
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"d"), L"abc");
}

TEST_F(SettingsStoreTest, WritingCreatesMissingKeyAndReplacesOnlyItsValue) {
  const std::wstring nested = kKey + L"\\Nested\\Deeper";
  ASSERT_TRUE(SaveRegString(kRoot, nested, L"first", L"one"));
  ASSERT_TRUE(SaveRegString(kRoot, nested, L"second", L"two"));
  ASSERT_TRUE(SaveRegString(kRoot, kKey, L"first", L"outer"));
  ASSERT_TRUE(SaveRegString(kRoot, nested, L"first", L"uno"));

  EXPECT_EQ(GetRegString(kRoot, nested, L"first", L""), L"uno");
  EXPECT_EQ(GetRegString(kRoot, nested, L"second", L""), L"two");
  EXPECT_EQ(GetRegString(kRoot, kKey, L"first", L""), L"outer");
}

TEST_F(SettingsStoreTest, NamesCompareWithoutRegardToCase) {
  ASSERT_TRUE(SaveRegString(kRoot, L"Software\\QUORVEL", L"Identifiant", L"abc"));
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), L"abc");
  ASSERT_TRUE(SaveRegString(kRoot, kKey, L"IDENTIFIANT", L"xyz"));
  EXPECT_EQ(GetRegString(kRoot, L"software\\quorvel", L"identifiant", L""), L"xyz");
}

TEST_F(SettingsStoreTest, LengthsUpToTheReadBufferReadInFull) {
  // 1023 characters and the terminating zero fill the 1024-byte buffer exactly.
  const std::wstring longest(1023, L'a');
  ASSERT_TRUE(SaveRegString(kRoot, kKey, L"longest", longest));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"longest", L"default"), longest);

  // Stored with its zero, 1024 characters no longer fit; far longer neither.
  ASSERT_TRUE(SaveRegString(kRoot, kKey, L"full", std::wstring(1024, L'b')));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"full", L"default"), L"default");
  ASSERT_TRUE(SaveRegString(kRoot, kKey, L"huge", std::wstring(5000, L'c')));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"huge", L"default"), L"default");

  // A value too long to read does not disturb the others.
  EXPECT_EQ(GetRegString(kRoot, kKey, L"longest", L"default"), longest);
}

TEST_F(SettingsStoreTest, AccentedAndControlTextRoundTrips) {
  const std::wstring accented = L"Désactiver le service à ç ù ë";
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, accented));
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), accented);

  ASSERT_TRUE(SaveRegString(kRoot, kKey, L"clé", L"valeur é"));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"clé", L""), L"valeur é");

  const std::wstring control = L"line one\r\nline two\ttab %41 %% \x01\x1F\x7F end ";
  ASSERT_TRUE(SaveRegString(kRoot, kKey, L"control", control));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"control", L""), control);

  // Text after an embedded zero cannot be stored: a read stops at the first zero.
  ASSERT_TRUE(SaveRegString(kRoot, kKey, L"zero", std::wstring(L"ab\0cd", 5)));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"zero", L"default"), L"ab");
}
