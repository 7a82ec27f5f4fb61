#include "common/text.hpp"

#include <gtest/gtest.h>

#include <climits>

using quorvel::FromAnsi;
using quorvel::ToAnsi;
using quorvel::TrimSpaces;

TEST(TrimSpaces, RemovesOnlySpacesAtBothEnds) {
  EXPECT_EQ(TrimSpaces(L"  abc  "), L"abc");
  EXPECT_EQ(TrimSpaces(L"   "), L"");
  EXPECT_EQ(TrimSpaces(L""), L"");
  EXPECT_EQ(TrimSpaces(L" a b "), L"a b");
  EXPECT_EQ(TrimSpaces(L"\tx \r\n"), L"\tx \r\n");
}

TEST(AnsiText, AccentedTextRoundTrips) {
  const std::wstring text = L"Désactiver le service é à ç";
  EXPECT_EQ(FromAnsi(ToAnsi(text)), text);
#ifdef _WIN32
  // Western code page under the test prefix: one byte per letter.
  EXPECT_EQ(ToAnsi(L"é"), std::string("\xE9"));
#else
  EXPECT_EQ(ToAnsi(L"é"), std::string("\xC3\xA9"));
#endif
  EXPECT_EQ(ToAnsi(L"abc"), "abc");
}

TEST(AnsiText, UndecodableBytesNeverFail) {
  const std::string bytes("a\xFF\xC3", 3);
  const std::wstring text = FromAnsi(bytes);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0], L'a');
  EXPECT_EQ(FromAnsi(std::string("\0x", 2)), std::wstring(L"\0x", 2));
}

TEST(DecimalText, WritesWholeNumbersAsToWstringDoes) {
  for (const long long value :
       {0LL, 7LL, -7LL, 10LL, 900LL, -2147483648LL, 2147483647LL, 4294967295LL, LLONG_MAX, LLONG_MIN}) {
    EXPECT_EQ(quorvel::DecimalText(value), std::to_wstring(value)) << value;
  }
}
