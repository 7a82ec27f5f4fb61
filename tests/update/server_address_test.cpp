#include "update/server_address.hpp"

#include <gtest/gtest.h>

using quorvel::ParseServerAddress;

TEST(ServerAddress, BuiltInHostOnPort80UnlessOverridden) {
  const auto plain = ParseServerAddress(L"");
  EXPECT_EQ(plain.host, quorvel::kDefaultServiceHost);
  EXPECT_EQ(plain.port, 80);
  EXPECT_EQ(plain.WebHost(), quorvel::kDefaultServiceHost);

  const auto hostOnly = ParseServerAddress(L"example.test");
  EXPECT_EQ(hostOnly.host, L"example.test");
  EXPECT_EQ(hostOnly.port, 80);
  EXPECT_EQ(hostOnly.WebHost(), L"example.test");

  const auto withPort = ParseServerAddress(L"127.0.0.1:8080");
  EXPECT_EQ(withPort.host, L"127.0.0.1");
  EXPECT_EQ(withPort.port, 8080);
  EXPECT_EQ(withPort.WebHost(), L"127.0.0.1:8080");

  // IPv6: in brackets with a port, bare on port 80; shown back in brackets.
  const auto bracketed = ParseServerAddress(L"[::1]:8080");
  EXPECT_EQ(bracketed.host, L"::1");
  EXPECT_EQ(bracketed.port, 8080);
  EXPECT_EQ(bracketed.WebHost(), L"[::1]:8080");
  const auto bare = ParseServerAddress(L"::1");
  EXPECT_EQ(bare.host, L"::1");
  EXPECT_EQ(bare.port, 80);
  EXPECT_EQ(bare.rejected, L"");
  EXPECT_EQ(bare.WebHost(), L"[::1]");
  EXPECT_EQ(ParseServerAddress(L"[2001:db8::5]").host, L"2001:db8::5");
  EXPECT_EQ(ParseServerAddress(L"[2001:db8::5]").port, 80);
}

TEST(ServerAddress, MalformedOverrideIsNotUsedAndIsKeptToBeReported) {
  for (const wchar_t* bad : {L"host:", L":80", L"host:0", L"host:65536", L"host:8o", L"h:123456",
                             L"127.0.0.1:99999", L"host:8O80", L"a b", L"h\r\nX-Evil: 1",
                             L"[::1", L"[]:80", L"[::1]:", L"[::1]80", L"[::1]:0", L"[::1]:x",
                             L"[[::1]]:80"}) {
    const auto address = ParseServerAddress(bad);
    EXPECT_EQ(address.host, quorvel::kDefaultServiceHost) << bad;
    EXPECT_EQ(address.port, 80) << bad;
    EXPECT_EQ(address.rejected, bad);
  }
  EXPECT_EQ(ParseServerAddress(L" example.test:81 ").rejected, L"");
  EXPECT_EQ(quorvel::BannerLine(ParseServerAddress(L"example.test:81")),
            L"Quorvel Version 2.0 - example.test:81");
}
