// Quorvel's own updates (/update): the marker and the word, the address behind a trusted proxy,
// the flood rule, and a store that cannot be written.
#include "server_process.hpp"

namespace {

using namespace qserver_test;

TEST_F(ServerTest, UpdateRepliesEndInTheMarkerAndTheWordTheClientReads) {
  const std::string id = Add("maison");
  Server server(store_);
  ASSERT_NE(server.port(), 0) << server.first();
  std::string lower = id;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return std::tolower(c); });
  struct Case {
    std::string id;
    std::string word;
  };
  const std::vector<Case> cases = {
      {id, "found"},
      {lower == id ? id + "x" : lower, "notfound"},  // identifiers are case-sensitive
      {"unknown", "notfound"},
      {"", "incorrect"},
      {std::string(32, 'a'), "notfound"},   // 32 is the longest taken
      {std::string(33, 'a'), "incorrect"},  // longer than 32
      {"a b", "incorrect"},                 // a typed space arrives unescaped
      {"caf\xE9", "incorrect"},             // non-ASCII byte from the ANSI code page
      {"a%41", "incorrect"},                // no escaping is undone
      {id + "&x=1", "incorrect"},           // a second parameter is part of the identifier
      {id + "!", "incorrect"},              // one character outside the alphabet, at its end
      {id + ".", "incorrect"},
      {id + "~", "incorrect"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("identifier \"" + c.id + "\"");
    std::string reply = Exchange(server.port(), UpdateRequest(c.id));
    EXPECT_EQ(Status(reply), 200);
    EXPECT_TRUE(EndsWith(Body(reply), kMarker + c.word)) << reply;
    EXPECT_EQ(quorvelmod::ParseServerReply(quorvel::FromAnsi(reply)), quorvel::FromAnsi(c.word));
    std::string line = server.ReadLine();
    EXPECT_TRUE(Contains(line, " 127.0.0.1:")) << line;
    EXPECT_TRUE(Contains(line, " 200 " + c.word)) << line;
    // The log is no place for a credential: four characters of it at most.
    if (c.id.size() > 4) {
      EXPECT_FALSE(Contains(line, c.id.substr(0, 5))) << line;
    }
    if (c.word == "found") {
      EXPECT_TRUE(Contains(line, "\"GET /update?ip_key=" + id.substr(0, 4) + "*** HTTP/1.0\"")) << line;
      EXPECT_TRUE(Contains(line, "found, recorded 127.0.0.1 for maison")) << line;
    }
  }
  EXPECT_TRUE(
      std::regex_match(List(), std::regex(R"(maison 127\.0\.0\.1 - \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\n)")))
      << List();
  // Another from the same address is answered without a write to the store.
  const auto before = fs::file_size(store_.string() + "-wal");
  const auto modified = fs::last_write_time(store_.string() + "-wal");
  EXPECT_EQ(Word(server.port(), id), "found");
  EXPECT_TRUE(Contains(server.ReadLine(), "200 found, unchanged 127.0.0.1 for maison"));
  EXPECT_EQ(fs::file_size(store_.string() + "-wal"), before);
  EXPECT_EQ(fs::last_write_time(store_.string() + "-wal"), modified);
  // Metrics, to a loopback peer: by outcome.
  const std::string metrics = Exchange(server.port(), "GET /metrics HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(Contains(metrics, "quorvel_updates_total{protocol=\"update\",outcome=\"found\"} 1\n"))
      << metrics;
  EXPECT_TRUE(
      Contains(metrics, "quorvel_updates_total{protocol=\"update\",outcome=\"found_unchanged\"} 1\n"));
  EXPECT_TRUE(Contains(metrics, "quorvel_updates_total{protocol=\"update\",outcome=\"incorrect\"} 9\n"));
  EXPECT_TRUE(Contains(metrics, "quorvel_request_duration_seconds_count 14\n")) << metrics;
}

TEST_F(ServerTest, XForwardedForIsBelievedFromATrustedProxyOnly) {
  const std::string id = Add("maison");
  const std::string other = Add("bureau");
  Server server(store_, {"--trusted-proxy", "127.0.0.2"});
  ASSERT_NE(server.port(), 0) << server.first();
  // X-Forwarded-For from a peer that is not a trusted proxy is ignored...
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 192.0.2.1\r\n"), "found");
  EXPECT_TRUE(Contains(server.ReadLine(), "recorded 127.0.0.1 for maison"));
  // ...from the trusted one, its last entry is the address, IPv6 to its own record.
  auto viaProxy = [&](const std::string& forwarded) {
    std::string request = UpdateRequest(other);
    request.insert(request.size() - 2, "X-Forwarded-For: " + forwarded + "\r\n");
    return Exchange(server.port(), request, "127.0.0.2");
  };
  EXPECT_TRUE(EndsWith(viaProxy("10.0.0.1, 198.51.100.7"), kMarker + "found"));
  EXPECT_TRUE(Contains(server.ReadLine(), "recorded 198.51.100.7 for bureau"));
  EXPECT_TRUE(EndsWith(viaProxy("::ffff:198.51.100.8"), kMarker + "found"));  // IPv4-mapped is IPv4
  EXPECT_TRUE(Contains(server.ReadLine(), "recorded 198.51.100.8 for bureau"));
  EXPECT_TRUE(EndsWith(viaProxy("2001:DB8::7"), kMarker + "found"));
  EXPECT_TRUE(Contains(server.ReadLine(), "recorded 2001:db8::7 for bureau"));
  // Every line, in order: a client's own line comes first, the proxy's own last.
  EXPECT_TRUE(EndsWith(viaProxy("192.0.2.66\r\nX-Forwarded-For: 198.51.100.9"), kMarker + "found"));
  EXPECT_TRUE(Contains(server.ReadLine(), "recorded 198.51.100.9 for bureau"));
  // A last entry that names nobody records nothing, not even the proxy's address.
  for (const std::string bad : {"198.51.100.1, unknown", "198.51.100.1,", "198.51.100.1\r\nX-Forwarded-For: "}) {
    SCOPED_TRACE(bad);
    EXPECT_TRUE(EndsWith(viaProxy(bad), kMarker + "denied"));
    EXPECT_TRUE(Contains(server.ReadLine(), " 200 denied, malformed X-Forwarded-For"));
  }
  EXPECT_TRUE(Contains(List(), "bureau 198.51.100.9 2001:db8::7 "));
  EXPECT_EQ(Body(DynDns(server.port(), "hostname=bureau.x", "bureau:" + other, "X-Forwarded-For: 10.0.0.1,\r\n",
                        "127.0.0.2")),
            "911\n");
  EXPECT_TRUE(Contains(List(), "bureau 198.51.100.9 2001:db8::7 "));
  // /metrics is not for what a proxy forwards, trusted or not, nor for other peers.
  for (const char* source : {"127.0.0.2", "127.0.0.1"})
    EXPECT_EQ(Status(Exchange(server.port(), "GET /metrics HTTP/1.0\r\nX-Forwarded-For: 127.0.0.1\r\n\r\n",
                              source)),
              404);
  EXPECT_EQ(Status(Exchange(server.port(), "GET /metrics HTTP/1.0\r\nForwarded: for=127.0.0.1\r\n\r\n")), 404);
  EXPECT_EQ(Status(Exchange(server.port(), "GET /metrics HTTP/1.0\r\n\r\n", "127.0.0.2")), 200);
}

TEST_F(ServerTest, TheEleventhUpdateOfANameWithinAMinuteIsDeniedAndWritesNothing) {
  const std::string id = Add("maison");
  const std::string other = Add("bureau");
  Server server(store_, {"--trusted-proxy", "127.0.0.2"});
  ASSERT_NE(server.port(), 0) << server.first();
  // Ten updates of one name a minute; the eleventh is denied and writes nothing.
  TenUpdates(server.port(), id);
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 192.0.2.9\r\n"), "denied");
  for (int i = 0; i < 10; ++i) server.ReadLine();
  EXPECT_TRUE(Contains(server.ReadLine(), "200 denied, more than 10 updates of maison within a minute"));
  EXPECT_TRUE(Contains(List(), "maison 127.0.0.1 - "));
  // The flood holds one name only.
  EXPECT_EQ(Word(server.port(), other), "found");
}

TEST_F(ServerTest, AStoreThatCannotBeWrittenIsNeverReportedAsDone) {
  const std::string id = Add("maison");
  // A limit of two: the failed writes below must not spend it.
  Server server(store_, {"--trusted-proxy", "127.0.0.1", "--max-updates-per-minute", "2"});
  ASSERT_NE(server.port(), 0);
  // Another process holds the store's write lock for longer than a request waits.
  const std::string hold =
      "python3 -c \"import sqlite3,time; c=sqlite3.connect('" + store_.string() +
      "', isolation_level=None); c.execute('BEGIN EXCLUSIVE'); print('locked', flush=True); "
      "time.sleep(3)\"";
  FILE* holder = ::popen(hold.c_str(), "r");
  char ready[16] = "";
  ASSERT_NE(std::fgets(ready, sizeof ready, holder), nullptr);
  // The client is told to try again, not that it is done; dyndns2 clients get 911.
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 192.0.2.1\r\n"), "denied");
  EXPECT_TRUE(Contains(server.ReadLine(), "200 store_error, denied: NOT recorded"));
  EXPECT_EQ(Body(DynDns(server.port(), "hostname=maison.x&myip=192.0.2.2", "maison:" + id)), "911\n");
  ::pclose(holder);
  // Once it is free again, the same update is recorded.
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 192.0.2.1\r\n"), "found");
  EXPECT_TRUE(Contains(List(), "maison 192.0.2.1 - "));
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 192.0.2.3\r\n"), "found");
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 192.0.2.4\r\n"), "denied");
  EXPECT_TRUE(Contains(List(), "maison 192.0.2.3 - "));
}

TEST_F(ServerTest, APeerThatGuessesIdentifiersIsDeniedForAWhileAndOthersAreNot) {
  const std::string id = Add("maison");
  Server server(store_, {"--trusted-proxy", "127.0.0.1", "--max-failures-per-hour", "3"});
  ASSERT_NE(server.port(), 0);
  const std::string guesser = "X-Forwarded-For: 2001:db8:1:2::1\r\n";
  EXPECT_EQ(Word(server.port(), "guess1", guesser), "notfound");
  EXPECT_EQ(Word(server.port(), "guess2", "X-Forwarded-For: 2001:db8:1:2::ffff\r\n"), "notfound");
  EXPECT_EQ(Body(DynDns(server.port(), "hostname=maison.x", "maison:guess3")), "badauth\n");  // 127.0.0.1
  EXPECT_EQ(Word(server.port(), "guess4", "X-Forwarded-For: 2001:db8:1:2:abcd::9\r\n"), "notfound");
  // The budget is spent for the /64: even the right identifier is not looked up.
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 2001:db8:1:2::7\r\n"), "denied");
  for (int i = 0; i < 4; ++i) server.ReadLine();
  EXPECT_TRUE(Contains(server.ReadLine(),
                       " 200 denied, more than 3 unknown identifiers from 2001:db8:1:2::/64 within an hour"));
  EXPECT_TRUE(Contains(List(), "maison - - "));
  // Another network is not held by it.
  EXPECT_EQ(Word(server.port(), id, "X-Forwarded-For: 2001:db8:1:3::7\r\n"), "found");
  EXPECT_EQ(Body(DynDns(server.port(), "hostname=maison.x", "maison:" + id)), "good 127.0.0.1\n");
  EXPECT_EQ(Body(DynDns(server.port(), "hostname=maison.x", "maison:guess5")), "badauth\n");
  EXPECT_EQ(Body(DynDns(server.port(), "hostname=maison.x", "maison:guess6")), "badauth\n");
  EXPECT_EQ(Body(DynDns(server.port(), "hostname=maison.x", "maison:" + id)), "abuse\n");
}

}  // namespace
