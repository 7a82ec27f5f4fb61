#include "update/server_address.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "update/server_choice.hpp"

using quorvel::ParseServerAddress;
using quorvel::ServerRefusal;

TEST(ServerAddress, BuiltInHostOnPort80UnlessOverridden) {
  struct Case {
    const wchar_t* text;
    const wchar_t* host;
    int port;
    const wchar_t* webHost;
  };
  // IPv6: in brackets with a port, bare on port 80; shown back in brackets. A URL with http://
  // is the same as host[:port], with or without its final "/".
  for (const Case& c : {Case{L"", quorvel::kDefaultServiceHost, 80, quorvel::kDefaultServiceHost},
                        Case{L"example.test", L"example.test", 80, L"example.test"},
                        Case{L"127.0.0.1:8080", L"127.0.0.1", 8080, L"127.0.0.1:8080"},
                        Case{L"[::1]:8080", L"::1", 8080, L"[::1]:8080"}, Case{L"::1", L"::1", 80, L"[::1]"},
                        Case{L"[2001:db8::5]", L"2001:db8::5", 80, L"[2001:db8::5]"},
                        Case{L"http://127.0.0.1:18080", L"127.0.0.1", 18080, L"127.0.0.1:18080"},
                        Case{L"http://ami.example/", L"ami.example", 80, L"ami.example"},
                        Case{L"HTTP://Ami-1.example_x:80/", L"Ami-1.example_x", 80, L"Ami-1.example_x"},
                        Case{L"http://[::1]:8080/", L"::1", 8080, L"[::1]:8080"},
                        Case{L"http://fe80::1%eth0", L"fe80::1%eth0", 80, L"[fe80::1%eth0]"},
                        Case{L"serveur.café.fr:81", L"serveur.café.fr", 81, L"serveur.café.fr:81"}}) {
    const auto address = ParseServerAddress(c.text);
    EXPECT_EQ(address.host, c.host) << c.text;
    EXPECT_EQ(address.port, c.port) << c.text;
    EXPECT_EQ(address.WebHost(), c.webHost) << c.text;
    EXPECT_EQ(address.rejected, L"") << c.text;
    EXPECT_EQ(address.refusal, ServerRefusal::kNone) << c.text;
  }
}

TEST(ServerAddress, MalformedOverrideIsNotUsedAndIsKeptToBeReported) {
  struct Case {
    const wchar_t* text;
    ServerRefusal why;
  };
  using R = ServerRefusal;
  for (const Case& c :
       {Case{L"host:", R::kPort}, Case{L":80", R::kNoHost}, Case{L"host:0", R::kPort},
        Case{L"host:65536", R::kPort}, Case{L"host:8o", R::kPort}, Case{L"h:123456", R::kPort},
        Case{L"127.0.0.1:99999", R::kPort}, Case{L"host:8O80", R::kPort}, Case{L"a b", R::kSpace},
        Case{L"h\r\nX-Evil: 1", R::kSpace}, Case{L"[::1", R::kIpv6}, Case{L"[]:80", R::kNoHost},
        Case{L"[::1]:", R::kPort}, Case{L"[::1]80", R::kIpv6}, Case{L"[::1]:0", R::kPort},
        Case{L"[::1]:x", R::kPort}, Case{L"[[::1]]:80", R::kIpv6},
        // What an option parser left of a URL, and URLs the program cannot use.
        Case{L"http:", R::kPort}, Case{L"https://ami.example", R::kTls}, Case{L"HTTPS://ami.example:443/", R::kTls},
        Case{L"ftp://ami.example", R::kScheme}, Case{L"http://", R::kNoHost}, Case{L"http:///", R::kNoHost},
        Case{L"http://ami.example/update", R::kPath}, Case{L"http://ami.example//", R::kPath},
        Case{L"ami.example/", R::kPath}, Case{L"ami.example?x", R::kPath},
        Case{L"user@ami.example", R::kHostChar}, Case{L"ami.example;80", R::kHostChar},
        Case{L"[::1]]:80", R::kIpv6}, Case{L"[::g-1]:80", R::kIpv6}}) {
    const auto address = ParseServerAddress(c.text);
    EXPECT_EQ(address.host, quorvel::kDefaultServiceHost) << c.text;
    EXPECT_EQ(address.port, 80) << c.text;
    EXPECT_EQ(address.rejected, c.text);
    EXPECT_EQ(address.refusal, c.why) << c.text;
    EXPECT_NE(std::wstring(quorvel::RefusalReason(c.why)), L"") << c.text;
  }
  EXPECT_EQ(ParseServerAddress(L" example.test:81 ").rejected, L"");
  EXPECT_EQ(ParseServerAddress(L" https://a ").rejected, L"https://a");
  EXPECT_EQ(quorvel::BannerLine(ParseServerAddress(L"example.test:81")),
            L"Quorvel Version 2.0 - example.test:81");
}

TEST(ServerAddress, HttpsWhereTlsIsAvailableOnPort443ElsewhereRefusedAsBefore) {
  using quorvel::TlsSupport;
  struct Case {
    const wchar_t* text;
    const wchar_t* host;
    int port;
    bool tls;
    const wchar_t* webHost;
  };
  for (const Case& c : {Case{L"https://ami.example", L"ami.example", 443, true, L"https://ami.example"},
                        Case{L"HTTPS://ami.example:443/", L"ami.example", 443, true, L"https://ami.example"},
                        Case{L"https://127.0.0.1:8443", L"127.0.0.1", 8443, true, L"https://127.0.0.1:8443"},
                        Case{L"https://[::1]:80/", L"::1", 80, true, L"https://[::1]:80"},
                        // Plain servers read as they always were.
                        Case{L"ami.example", L"ami.example", 80, false, L"ami.example"},
                        Case{L"ami.example:443", L"ami.example", 443, false, L"ami.example:443"},
                        Case{L"http://ami.example:8080/", L"ami.example", 8080, false, L"ami.example:8080"}}) {
    const auto address = ParseServerAddress(c.text, TlsSupport::kAvailable);
    EXPECT_EQ(address.refusal, ServerRefusal::kNone) << c.text;
    EXPECT_EQ(address.host, c.host) << c.text;
    EXPECT_EQ(address.port, c.port) << c.text;
    EXPECT_EQ(address.tls, c.tls) << c.text;
    EXPECT_EQ(address.WebHost(), c.webHost) << c.text;
  }
  // What follows "https://" obeys the same rules as after "http://".
  using R = ServerRefusal;
  EXPECT_EQ(ParseServerAddress(L"https://", TlsSupport::kAvailable).refusal, R::kNoHost);
  EXPECT_EQ(ParseServerAddress(L"https://a/update", TlsSupport::kAvailable).refusal, R::kPath);
  EXPECT_EQ(ParseServerAddress(L"https://a:0", TlsSupport::kAvailable).refusal, R::kPort);
  EXPECT_EQ(ParseServerAddress(L"httpss://a", TlsSupport::kAvailable).refusal, R::kScheme);
  EXPECT_EQ(quorvel::BannerLine(ParseServerAddress(L"https://a:8443", TlsSupport::kAvailable)),
            L"Quorvel Version 2.0 - https://a:8443");
  // A program without TLS refuses it, and never reaches it in plain HTTP; the window (and the
  // installer's check) have TLS.
  const auto plainOnly = ParseServerAddress(L"https://ami.example");
  EXPECT_EQ(plainOnly.refusal, R::kTls);
  EXPECT_FALSE(plainOnly.tls);
  EXPECT_EQ(std::wstring(quorvel::RefusalReason(R::kTls)), L"https:// n'est pas encore pris en charge");
  EXPECT_EQ(std::wstring(quorvel::RefusalReason(R::kScheme)), L"seul http:// ou https:// peut précéder l'hôte");
  if (std::getenv("QUORVEL_SERVER") == nullptr || *std::getenv("QUORVEL_SERVER") == '\0') {
    EXPECT_EQ(quorvel::ChooseServerAddress(L"https://ami.example").refusal,
              L"serveur refusé: https://ami.example (https:// n'est pas encore pris en charge)");
    const auto window = quorvel::ChooseServerAddress(L"https://ami.example:8443", TlsSupport::kAvailable);
    EXPECT_EQ(window.refusal, L"");
    EXPECT_TRUE(window.address.tls);
    EXPECT_EQ(quorvel::FirstLogLine(window), L"Quorvel Version 2.0 - https://ami.example:8443");
  }
}

TEST(ServerAddress, StoredChoiceRefusedIsTheFirstLogLineNeverTheBuiltInHost) {
  if (std::getenv("QUORVEL_SERVER") != nullptr && *std::getenv("QUORVEL_SERVER") != '\0') GTEST_SKIP();
  const auto refused = quorvel::ChooseServerAddress(L" http: ");
  EXPECT_EQ(refused.refusal, L"serveur refusé: http: (le port doit être un nombre de 1 à 65535)");
  EXPECT_EQ(quorvel::FirstLogLine(refused),
            L"Quorvel Version 2.0 - serveur refusé: http: (le port doit être un nombre de 1 à 65535)");
  const auto used = quorvel::ChooseServerAddress(L"http://127.0.0.1:18080/");
  EXPECT_EQ(used.refusal, L"");
  EXPECT_EQ(quorvel::FirstLogLine(used), L"Quorvel Version 2.0 - 127.0.0.1:18080");
  EXPECT_EQ(quorvel::FirstLogLine(quorvel::ChooseServerAddress(L"")),
            L"Quorvel Version 2.0 - www.quorvel.fr");
}
