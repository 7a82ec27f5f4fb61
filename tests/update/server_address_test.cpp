#include "update/server_address.hpp"

#include <gtest/gtest.h>

using quorvel::ParseServerAddress;

TEST(ServerAddress, BuiltInHostOnPort80UnlessOverridden) {
  struct Case {
    const wchar_t* text;
    const wchar_t* host;
    int port;
    const wchar_t* webHost;
  };
  // IPv6: in brackets with a port, bare on port 80; shown back in brackets.
  for (const Case& c : {Case{L"", quorvel::kDefaultServiceHost, 80, quorvel::kDefaultServiceHost},
                        Case{L"example.test", L"example.test", 80, L"example.test"},
                        Case{L"127.0.0.1:8080", L"127.0.0.1", 8080, L"127.0.0.1:8080"},
                        Case{L"[::1]:8080", L"::1", 8080, L"[::1]:8080"}, Case{L"::1", L"::1", 80, L"[::1]"},
                        Case{L"[2001:db8::5]", L"2001:db8::5", 80, L"[2001:db8::5]"}}) {
    const auto address = ParseServerAddress(c.text);
    EXPECT_EQ(address.host, c.host) << c.text;
    EXPECT_EQ(address.port, c.port) << c.text;
    EXPECT_EQ(address.WebHost(), c.webHost) << c.text;
    EXPECT_EQ(address.rejected, L"") << c.text;
  }
}

TEST(ServerAddress, MalformedOverrideIsNotUsedAndIsKeptToBeReported) {
  for (const wchar_t* bad : {L"host:", L":80", L"host:0", L"host:65536", L"host:8o", L"h:123456",
                             L"127.0.0.1:99999", L"host:8O80", L"a b", L"h\r\nX-Evil: 1", L"[::1", L"[]:80",
                             L"[::1]:", L"[::1]80", L"[::1]:0", L"[::1]:x", L"[[::1]]:80"}) {
    const auto address = ParseServerAddress(bad);
    EXPECT_EQ(address.host, quorvel::kDefaultServiceHost) << bad;
    EXPECT_EQ(address.port, 80) << bad;
    EXPECT_EQ(address.rejected, bad);
  }
  EXPECT_EQ(ParseServerAddress(L" example.test:81 ").rejected, L"");
  EXPECT_EQ(quorvel::BannerLine(ParseServerAddress(L"example.test:81")),
            L"Quorvel Version 2.0 - example.test:81");
}
