// The creation page (/creer.php6): what it makes, who may use it, and its limits.
#include "server_process.hpp"

namespace {

using namespace qserver_test;

TEST_F(ServerTest, CreationPageCreatesIdentifiersThatUpdatesThenFind) {
  {
    // Closed unless the operator opens it: the page and its form alike.
    Server closed(store_);
    ASSERT_NE(closed.port(), 0);
    const std::string page = CreationPage(closed.port());
    EXPECT_EQ(Status(page), 403);
    EXPECT_TRUE(Contains(page, "Ce serveur ne crée pas d'identifiant.")) << page;
    EXPECT_TRUE(Contains(closed.ReadLine(), " 403 creation refused: closed"));
    EXPECT_EQ(Status(Exchange(closed.port(), CreationRequest(OwnHost(closed.port()), std::string(32, '0')))),
              403);
    EXPECT_TRUE(Contains(Exchange(closed.port(), "GET /metrics HTTP/1.0\r\n\r\n"),
                         "quorvel_creations_total{result=\"refused\"} 1\n"));
  }
  EXPECT_EQ(List(), "");
  Server server(store_, {"--open-creation"});
  ASSERT_NE(server.port(), 0) << server.first();
  std::string page = CreationPage(server.port());
  EXPECT_EQ(Status(page), 200);
  EXPECT_TRUE(Contains(page, "Content-Type: text/html; charset=utf-8"));
  EXPECT_TRUE(Contains(page, "Créer un identifiant unique"));
  EXPECT_TRUE(Contains(page, "<form method=\"post\" action=\"/creer.php6\">"));
  EXPECT_TRUE(Contains(page, "name=\"nom\""));
  EXPECT_TRUE(Contains(server.ReadLine(), "\"GET /creer.php6 HTTP/1.0\" 200 creation page"));

  const std::string token = FormToken(page);
  ASSERT_FALSE(token.empty()) << page;
  std::string first =
      Exchange(server.port(), CreationRequest("localhost:" + std::to_string(server.port()), token, "maison"));
  EXPECT_EQ(Status(first), 200);
  EXPECT_TRUE(Contains(first, "Votre identifiant unique"));
  EXPECT_TRUE(Contains(first, "Cet identifiant est un secret"));
  EXPECT_TRUE(Contains(first, "<strong id=\"nom-complet\">maison</strong>"));
  const std::string id1 = CreatedIdentifier(first);
  EXPECT_TRUE(std::regex_match(id1, std::regex("[2-9A-HJ-NP-Z]{27}"))) << id1;
  std::string line = server.ReadLine();
  EXPECT_TRUE(Contains(line, "200 created maison")) << line;
  EXPECT_FALSE(Contains(line, id1));
  // A taken name, an invalid one.
  EXPECT_EQ(Status(Exchange(server.port(), CreationRequest(OwnHost(server.port()), token, "maison"))), 409);
  EXPECT_TRUE(Contains(server.ReadLine(), "409 creation refused: name maison taken"));
  EXPECT_EQ(Status(Exchange(server.port(), CreationRequest(OwnHost(server.port()), token, "a_b"))), 400);
  server.ReadLine();
  // The zone's own names (reserved-labels) are not handed out.
  EXPECT_EQ(Status(Exchange(server.port(), CreationRequest(OwnHost(server.port()), token, "www"))), 409);
  EXPECT_TRUE(Contains(server.ReadLine(), "409 creation refused: name www is the zone's own: reserved"));
  const std::string id2 =
      CreatedIdentifier(Exchange(server.port(), CreationRequest(OwnHost(server.port()), token, "Bureau")));
  EXPECT_NE(id1, id2);
  EXPECT_EQ(Word(server.port(), id1), "found");
  EXPECT_EQ(Word(server.port(), id2), "found");
  EXPECT_TRUE(Contains(List(), "bureau 127.0.0.1 - "));
  const std::string metrics = Exchange(server.port(), "GET /metrics HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(Contains(metrics, "quorvel_names 2\n")) << metrics;
  EXPECT_TRUE(Contains(metrics, "quorvel_creations_total{result=\"created\"} 2\n"));
  EXPECT_TRUE(Contains(metrics, "quorvel_creations_total{result=\"refused\"} 3\n"));
}

TEST_F(ServerTest, OnlyTheServersOwnPageAtItsOwnAddressCreatesIdentifiers) {
  Server server(store_, {"--open-creation"});
  ASSERT_NE(server.port(), 0);
  const std::string own = OwnHost(server.port());
  const std::string token = FormToken(CreationPage(server.port()));
  ASSERT_FALSE(token.empty());
  server.ReadLine();
  // A form posted by another site's page carries no token, or one it made up; a page
  // reached by DNS rebinding names its own host; HTTP/1.0 may name none.
  const std::vector<std::string> refused = {
      "POST /creer.php6 HTTP/1.1\r\nHost: " + own + "\r\nContent-Length: 9\r\n\r\nnom=truc1",
      CreationRequest(own, std::string(32, '0')),
      CreationRequest(own, token.substr(1)),
      CreationRequest("evil.example:" + std::to_string(server.port()), token),
      "POST /creer.php6 HTTP/1.0\r\nContent-Length: 9\r\n\r\nnom=truc1",
      "GET /creer.php6 HTTP/1.1\r\nHost: evil.example\r\n\r\n",
  };
  for (const std::string& request : refused) {
    SCOPED_TRACE(request);
    std::string reply = Exchange(server.port(), request);
    EXPECT_EQ(Status(reply), 403);
    EXPECT_FALSE(Contains(reply, token));
    EXPECT_TRUE(Contains(server.ReadLine(), " 403 creation refused: "));
  }
  EXPECT_EQ(List(), "");
  EXPECT_EQ(Status(Exchange(server.port(), CreationRequest(own, token, "a1"))), 200);
  EXPECT_EQ(Status(Exchange(server.port(),
                            CreationRequest("LOCALHOST:" + std::to_string(server.port()), token, "a2"))),
            200);
  // Behind a proxy, the name it forwards is allowed explicitly.
  // The log then names the client it forwards; an unreadable one creates nothing.
  Server proxied(dir_ / "proxied.db",
                 {"--allow-host", "ids.example.org", "--open-creation", "--trusted-proxy", "127.0.0.2"});
  ASSERT_NE(proxied.port(), 0);
  const std::string proxiedToken = FormToken(CreationPage(proxied.port()));
  proxied.ReadLine();
  std::string forwarded = CreationRequest("ids.example.org", proxiedToken);
  forwarded.insert(forwarded.find("\r\n") + 2, "X-Forwarded-For: 198.51.100.9\r\n");
  EXPECT_EQ(Status(Exchange(proxied.port(), forwarded, "127.0.0.2")), 200);
  EXPECT_TRUE(Contains(proxied.ReadLine(), " 200 created maison for 198.51.100.9"));
  forwarded = CreationRequest("ids.example.org", proxiedToken, "garage");
  forwarded.insert(forwarded.find("\r\n") + 2, "X-Forwarded-For: 198.51.100.9, unknown\r\n");
  EXPECT_EQ(Status(Exchange(proxied.port(), forwarded, "127.0.0.2")), 400);
  EXPECT_TRUE(Contains(proxied.ReadLine(), " 400 creation refused: malformed X-Forwarded-For"));
}

TEST_F(ServerTest, CreationsAreCappedPerPeerAndByStoreSize) {
  Server server(store_, {"--max-creations-per-minute", "3", "--open-creation"});
  ASSERT_NE(server.port(), 0);
  const std::string own = OwnHost(server.port());
  const std::string token = FormToken(CreationPage(server.port()));
  server.ReadLine();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Status(Exchange(server.port(),
                              CreationRequest(own, token, std::string(1, 'n').append(std::to_string(i))))),
              200);
  for (int i = 0; i < 3; ++i) server.ReadLine();
  std::string reply = Exchange(server.port(), CreationRequest(own, token, "n9"));
  EXPECT_EQ(Status(reply), 429);
  EXPECT_TRUE(Contains(reply, "Réessayez dans une minute"));
  EXPECT_TRUE(Contains(server.ReadLine(), " 429 creation refused: too many from 127.0.0.1"));
  // Every loopback address is the same peer.
  EXPECT_EQ(Status(Exchange(server.port(), CreationRequest(own, token, "n8"), "127.0.0.2")), 429);
  server.Stop();
  // A peer creates a hundredth of --max-names a day at most (here 12): it cannot fill the
  // store and close creation for everyone.
  {
    Server daily(dir_ / "daily.db", {"--max-names", "1200", "--open-creation", "--max-creations-per-minute", "20"});
    const std::string dailyToken = FormToken(CreationPage(daily.port()));
    for (int i = 0; i < 12; ++i)
      EXPECT_EQ(Status(Exchange(daily.port(), CreationRequest(OwnHost(daily.port()), dailyToken,
                                                              "d" + std::to_string(i)))),
                200);
    EXPECT_EQ(Status(Exchange(daily.port(), CreationRequest(OwnHost(daily.port()), dailyToken, "d99"))), 429);
  }
  Server full(store_, {"--max-names", "4", "--open-creation"});
  EXPECT_EQ(Status(Exchange(full.port(), CreationRequest(OwnHost(full.port()),
                                                         FormToken(CreationPage(full.port())), "n4"))),
            200);
  full.ReadLine();
  full.ReadLine();
  EXPECT_EQ(Status(Exchange(full.port(), CreationRequest(OwnHost(full.port()),
                                                         FormToken(CreationPage(full.port())), "n5"))),
            507);
  full.ReadLine();
  EXPECT_TRUE(Contains(full.ReadLine(), " 507 creation refused: store full (4 names)"));
}

}  // namespace
