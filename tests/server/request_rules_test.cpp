// The request's rules alone: query and form fields, the client's address behind a proxy, the
// peer key the limits count by, and the sliding window they count in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/peer_rules.hpp"
#include "server/query.hpp"
#include "server/sliding_window.hpp"

namespace {

using namespace qserver;

TEST(Query, FieldsAreFoundByTheirWholeNameAndUnescapedOnce) {
  EXPECT_EQ(Unescape("a+b%20c%2Cd%41%4a%4"), "a b c,dAJ%4");
  EXPECT_EQ(Unescape("%zz%%41"), "%zz%A");
  EXPECT_EQ(Unescape("%2541"), "%41");  // once: the result is not read again
  bool found = false;
  EXPECT_EQ(Field("hostname=a.example&myip=192.0.2.1%2C2001:db8::1", "myip", &found),
            "192.0.2.1,2001:db8::1");
  EXPECT_TRUE(found);
  EXPECT_EQ(Field("xmyip=1&myip=2&myip=3", "myip"), "2");  // the first of its own name
  EXPECT_EQ(Field("myip&myipx=1", "myip", &found), "");
  EXPECT_FALSE(found);
  EXPECT_EQ(Field("nom=&jeton=x", "nom", &found), "");
  EXPECT_TRUE(found);
  EXPECT_EQ(Lower("MAISON.Dyn-1\xC9"), "maison.dyn-1\xC9");
  EXPECT_TRUE(EqualsNoCase("LocalHost:80", "localhost:80"));
  EXPECT_FALSE(EqualsNoCase("localhost:80", "localhost:8"));
}

TEST(Query, TheLogShowsFourCharactersOfAnIdentifierAtMost) {
  // A quarter of it at most, and four characters at most: 22 or 27 characters keep 4, a short
  // imported one keeps less, one of 3 none.
  EXPECT_EQ(MaskedLine("GET", "/update?ip_key=abcdefghijklmnopqrstuvwxyz0", "HTTP/1.0"),
            "GET /update?ip_key=abcd*** HTTP/1.0");
  EXPECT_EQ(MaskedLine("GET", "/update?ip_key=abcdefgh", "HTTP/1.0"), "GET /update?ip_key=ab*** HTTP/1.0");
  EXPECT_EQ(MaskedLine("GET", "/x?ip_key=abcdefgh&y=1", "HTTP/1.1"), "GET /x?ip_key=ab***&y=1 HTTP/1.1");
  EXPECT_EQ(MaskedLine("GET", "/update?ip_key=abcd", "HTTP/1.0"), "GET /update?ip_key=a*** HTTP/1.0");
  EXPECT_EQ(MaskedLine("GET", "/update?ip_key=abc", "HTTP/1.0"), "GET /update?ip_key=*** HTTP/1.0");
  EXPECT_EQ(MaskedLine("GET", "/update?ip_key=", "HTTP/1.0"), "GET /update?ip_key= HTTP/1.0");
  // Every one of them, not only the first.
  EXPECT_EQ(MaskedLine("GET", "/update?ip_key=abcdefghijklmnop&ip_key=qrstuvwxyzabcdef&ip_key=ghij", "HTTP/1.0"),
            "GET /update?ip_key=abcd***&ip_key=qrst***&ip_key=g*** HTTP/1.0");
  EXPECT_EQ(MaskedLine("-", "/creer.php6", "-"), "- /creer.php6 -");
}

TEST(ClientAddress, OnlyATrustedProxyNamesTheClientByItsLastEntry) {
  const TrustedProxies proxies({"127.0.0.2", "::FFFF:192.0.2.53", "2001:DB8::53"});
  EXPECT_TRUE(proxies.Trusts("192.0.2.53"));  // normalised once, as peers are
  EXPECT_TRUE(proxies.Trusts("2001:db8::53"));
  EXPECT_EQ(ClientAddress("127.0.0.1", {"192.0.2.1"}, proxies), "127.0.0.1");
  EXPECT_EQ(ClientAddress("127.0.0.2", {}, proxies), "127.0.0.2");
  EXPECT_EQ(ClientAddress("127.0.0.2", {"10.0.0.1, 198.51.100.7 "}, proxies), "198.51.100.7");
  EXPECT_EQ(ClientAddress("127.0.0.2", {"::ffff:198.51.100.8"}, proxies), "198.51.100.8");
  EXPECT_EQ(ClientAddress("2001:db8::53", {"2001:DB8:0::7"}, proxies), "2001:db8::7");
  // A last entry that is not an address names nobody: never the proxy itself.
  for (const char* bad : {"", " ", "nonsense", "198.51.100.7,", "1.2.3.4.5", "[2001:db8::7]"})
    EXPECT_EQ(ClientAddress("127.0.0.2", {bad}, proxies), "") << bad;
  EXPECT_EQ(ClientAddress("127.0.0.1", {"nonsense"}, proxies), "127.0.0.1");  // not a proxy
  // Every line, in order: the last entry of the last (a proxy adds its own line).
  EXPECT_EQ(ClientAddress("127.0.0.2", {"192.0.2.1", "192.0.2.2"}, proxies), "192.0.2.2");
  EXPECT_EQ(ClientAddress("127.0.0.2", {"192.0.2.1, 192.0.2.3", "192.0.2.2 , 192.0.2.4"}, proxies),
            "192.0.2.4");
  EXPECT_EQ(ClientAddress("127.0.0.2", {"192.0.2.1", "192.0.2.2"}, proxies, false), "192.0.2.1");
  EXPECT_EQ(ClientAddress("127.0.0.2", {"192.0.2.1", "x"}, proxies), "");
  EXPECT_EQ(ClientAddress("127.0.0.2", {"192.0.2.1", ""}, proxies), "");
}

TEST(PeerKey, LoopbackIsOnePeerAndIPv6CountsByItsNetwork) {
  EXPECT_EQ(PeerKey("127.0.0.1"), "loopback");
  EXPECT_EQ(PeerKey("127.9.9.9"), "loopback");
  EXPECT_EQ(PeerKey("::1"), "loopback");
  EXPECT_EQ(PeerKey("192.0.2.1"), "192.0.2.1");
  EXPECT_EQ(PeerKey("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
  EXPECT_EQ(PeerKey("2001:db8:1:2:bbbb::9"), PeerKey("2001:db8:1:2::1"));
  EXPECT_NE(PeerKey("2001:db8:1:3::1"), PeerKey("2001:db8:1:2::1"));
  EXPECT_EQ(PeerKey("2001:db8:1:2ff::1", 56), "2001:db8:1:200::/56");
  EXPECT_EQ(PeerKey("2001:db8::1", 0), "::/0");
  // As the limits count: by /64.
  EXPECT_EQ(PeerKey("2001:db8:1:2:ffff:1:2:3", kLimitsIpv6Prefix), "2001:db8:1:2::/64");
  EXPECT_EQ(PeerKey("192.0.2.7", kLimitsIpv6Prefix), "192.0.2.7");
  // What a name may point to.
  for (const char* unicast : {"192.0.2.1", "1.0.0.0", "223.255.255.254", "2001:db8::1", "fe00::1"})
    EXPECT_TRUE(IsUnicast(unicast)) << unicast;
  for (const char* refused : {"0.0.0.0", "255.255.255.255", "224.0.0.1", "239.1.2.3", "127.0.0.1",
                              "169.254.1.1", "::", "::1", "ff02::1", "fe80::1", "febf::1", "x", ""})
    EXPECT_FALSE(IsUnicast(refused)) << refused;
  EXPECT_EQ(PeerKey("?"), "?");
  EXPECT_TRUE(IsLoopback("127.0.0.1"));
  EXPECT_FALSE(IsLoopback("128.0.0.1"));
  EXPECT_EQ(NormalAddress("::ffff:10.0.0.1"), "10.0.0.1");
  EXPECT_EQ(NormalAddress("10.0.0.01"), "");
  EXPECT_EQ(FamilyOf("2001:db8::1"), kFamilyV6);
  EXPECT_EQ(FamilyOf("192.0.2.1"), kFamilyV4);
}

TEST(SlidingWindow, EachKeyHasItsLimitWithinTheSpanAndTheWindowSlides) {
  using std::chrono::seconds;
  const auto t0 = SlidingWindow::Clock::now();
  SlidingWindow window(2, seconds(60));
  EXPECT_TRUE(window.Take("a", t0));
  EXPECT_TRUE(window.Allows("a", t0 + seconds(10)));
  EXPECT_TRUE(window.Take("a", t0 + seconds(10)));
  EXPECT_FALSE(window.Take("a", t0 + seconds(20)));   // refused: not counted
  EXPECT_TRUE(window.Take("b", t0 + seconds(20)));    // another key
  EXPECT_TRUE(window.Allows("a", t0 + seconds(60)));  // the first has left the window
  EXPECT_TRUE(window.Take("a", t0 + seconds(60)));
  EXPECT_FALSE(window.Allows("a", t0 + seconds(69)));
  // Keys with nothing left in the span are forgotten.
  EXPECT_TRUE(window.Allows("c", t0 + seconds(200)));
  EXPECT_EQ(window.KeysKept(), 0u);
  // It slides update by update: ten at 0..9 s free one place each from 60 s on, not all at
  // once, and a regular updater under the limit is never refused.
  SlidingWindow burst(10, seconds(60));
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(burst.Take("a", t0 + seconds(i)));
  EXPECT_FALSE(burst.Take("a", t0 + seconds(59)));
  EXPECT_TRUE(burst.Take("a", t0 + seconds(60)));
  EXPECT_FALSE(burst.Take("a", t0 + seconds(60)));
  EXPECT_TRUE(burst.Take("a", t0 + seconds(61)));
  EXPECT_FALSE(burst.Allows("a", t0 + seconds(61)));
  SlidingWindow regular(10, seconds(60));
  for (int i = 0; i < 200; ++i) EXPECT_TRUE(regular.Take("a", t0 + seconds(6 * i))) << i;
  SlidingWindow unlimited(0);
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(unlimited.Take("a", t0));
  EXPECT_EQ(unlimited.KeysKept(), 0u);
}

}  // namespace
