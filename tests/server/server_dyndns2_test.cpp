// dyndns2 (/nic/update) as routers, ddclient and inadyn speak it, without DNS.
#include "server_process.hpp"

namespace {

using namespace qserver_test;

TEST_F(ServerTest, DynDns2TakesTheLabelOrTheFullNameAndTheIdentifier) {
  const std::string other = Add("bureau"), id = Add("maison");
  Server server(store_);
  ASSERT_NE(server.port(), 0) << server.first();
  const int p = server.port();
  TenUpdates(p, id);  // for the "abuse" below
  // dyndns2: the label or the full name as user, the identifier as password.
  EXPECT_EQ(Status(DynDns(p, "hostname=bureau.example", "")), 401);
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example", "")), "badauth\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example", "bureau:" + id)), "badauth\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=maison.example", "maison:" + other)), "badauth\n");
  // One name's credentials never move another: whatever the credentials, nothing moves.
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=192.0.2.99", "maison:" + id)), "nohost\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example", "maison:" + other)), "nohost\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau", "bureau:" + other)), "notfqdn\n");
  EXPECT_EQ(Body(DynDns(p, "myip=192.0.2.1", "bureau:" + other)), "notfqdn\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=192.0.2.5", "bureau:" + other)), "good 192.0.2.5\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=192.0.2.5", "bureau:" + other)),
            "nochg 192.0.2.5\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=192.0.2.6%2C2001:db8::8", "bureau:" + other)),
            "good 192.0.2.6,2001:db8::8\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=nonsense", "bureau:" + other)), "good 127.0.0.1\n");
  EXPECT_TRUE(Contains(List(), "bureau 127.0.0.1 2001:db8::8 "));
  EXPECT_TRUE(Contains(List(), "maison 127.0.0.1 - "));  // the nohost above moved nothing
  // One address a family, the first; none that a name should not point to (the peer's then).
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=192.0.2.7,192.0.2.8,2001:db8::9,2001:db8::a",
                        "bureau:" + other)),
            "good 192.0.2.7,2001:db8::9\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=0.0.0.0,255.255.255.255,224.0.0.1,169.254.0.1,::,"
                        "ff02::1,fe80::1,2001:db8::9",
                        "bureau:" + other)),
            "nochg 2001:db8::9\n");
  std::string many;
  for (int i = 0; i < 600; ++i) many += (many.empty() ? "" : ",") + std::string(i % 2 ? "x" : "224.0.0.1");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=" + many + ",192.0.2.7", "bureau:" + other)),
            "nochg 192.0.2.7\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=bureau.example&myip=" + many, "bureau:" + other)), "good 127.0.0.1\n");
  EXPECT_TRUE(Contains(List(), "bureau 127.0.0.1 2001:db8::9 "));
  EXPECT_EQ(Body(DynDns(p, "hostname=maison.example", "maison:" + id)), "abuse\n");
  // The flood holds one name only.
  EXPECT_EQ(Word(server.port(), other), "found");
}

TEST_F(ServerTest, ZoneNamesTheHostsDynDns2Takes) {
  const std::string id = Add("maison");
  // A key and a primary that does not answer: updates are still answered at once.
  std::ofstream(dir_ / "k.key")
      << "key \"k\" {\n\talgorithm hmac-sha256;\n\tsecret \"c2VjcmV0c2VjcmV0c2VjcmV0\";\n};\n";
  Server server(store_, {"--open-creation", "--zone", "Dyn.Example.ORG.", "--dns-server", "127.0.0.1:9", "--tsig-key",
                         (dir_ / "k.key").string()});
  ASSERT_NE(server.port(), 0) << server.first();
  const int p = server.port();
  EXPECT_EQ(Body(DynDns(p, "hostname=maison.other.org", "maison:" + id)), "nohost\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=maison.dyn.example.org", "maison.dyn.example.org:" + id)),
            "good 127.0.0.1\n");
  EXPECT_EQ(Body(DynDns(p, "hostname=MAISON.dyn.example.org.", "maison:" + id)), "nochg 127.0.0.1\n");
  // The creation page names the full name.
  const std::string page = Exchange(p, CreationRequest(OwnHost(p), FormToken(CreationPage(p)), "garage"));
  EXPECT_TRUE(Contains(page, "garage.dyn.example.org")) << page;
}

}  // namespace
