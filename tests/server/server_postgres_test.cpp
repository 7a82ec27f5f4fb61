// quorvel-server on a PostgreSQL store, as an operator moves to one and lives with it: migrate
// from the SQLite file (every name, address, time and pending work; the identifiers keep
// working), and the store stopped and started again under a running server.
#include "postgres_test.hpp"
#include "server/name_store.hpp"
#include "server_process.hpp"

namespace {

using namespace qserver_test;

std::string WordFrom(int port, const std::string& id, const char* source) {
  const std::string reply = Exchange(port, UpdateRequest(id), source);
  const std::size_t marker = reply.rfind(kMarker);
  return marker == std::string::npos ? "NO MARKER: " + reply : reply.substr(marker + kMarker.size());
}

qserver::StoreContents ContentsOf(const std::string& location) {
  std::string error;
  const auto store = qserver::OpenStore(location, false, error);
  EXPECT_NE(store, nullptr) << error;
  return store ? store->Contents().value : qserver::StoreContents{};
}

TEST_F(ServerTest, MigrateCopiesTheWholeSqliteStoreAndEveryIdentifierKeepsWorking) {
  TestDatabase database;
  const std::string uri = database.Uri();
  const std::string maison = Add("maison");
  Add("bureau");
  std::ofstream(dir_ / "ids.txt") << "Imported_1\t192.0.2.7\t2026-12-09T00:31:29Z\n";
  ASSERT_EQ(RunServer({"import", (dir_ / "ids.txt").string(), "--store", store_.string()}).status, 0);
  {
    Server server(store_);
    ASSERT_EQ(Word(server.port(), maison), "found");  // 127.0.0.1 recorded
  }
  // The removal of bureau's records left as work: the primary does not answer.
  std::ofstream(dir_ / "tsig.key") << "key \"k\" { algorithm hmac-sha256; secret \"c2VjcmV0+/8=\"; };\n";
  const Ran removed = RunServer({"remove", "bureau", "--store", store_.string(), "--zone", "dyn.example.org",
                                 "--dns-server", "127.0.0.1:9", "--tsig-key", (dir_ / "tsig.key").string()});
  ASSERT_TRUE(Contains(removed.output, "kept as pending work")) << removed.output;

  EXPECT_TRUE(Contains(RunServer({"migrate", "--store", uri}).output, "migrate wants --from"));
  const Ran migrated = RunServer({"migrate", "--from", store_.string(), "--store", uri});
  EXPECT_EQ(migrated.status, 0) << migrated.output;
  EXPECT_TRUE(Contains(migrated.output, "copied 2 name(s) and 1 name(s) of DNS work")) << migrated.output;
  EXPECT_EQ(RunServer({"list", "--store", uri}).output, RunServer({"list", "--store", store_.string()}).output);
  // Everything, down to the published flags and the work's generations.
  const qserver::StoreContents before = ContentsOf(store_.string()), after = ContentsOf(uri);
  ASSERT_EQ(after.names.size(), 2u);
  for (std::size_t i = 0; i < after.names.size(); ++i) {
    EXPECT_EQ(after.names[i].row, before.names[i].row);
    EXPECT_EQ(after.names[i].published, before.names[i].published);
  }
  ASSERT_EQ(after.pending.size(), 1u);
  EXPECT_EQ(after.pending[0].label, "bureau");
  EXPECT_EQ(after.pending[0].families, before.pending[0].families);
  EXPECT_EQ(after.pending[0].generation, before.pending[0].generation);

  // A target with names is refused without --replace, and left as it was.
  ASSERT_EQ(RunServer({"add", "garage", "--store", uri}).status, 0);
  const Ran refused = RunServer({"migrate", "--from", store_.string(), "--store", uri});
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(Contains(refused.output, "not empty") && Contains(refused.output, "--replace")) << refused.output;
  EXPECT_TRUE(Contains(RunServer({"list", "--store", uri}).output, "garage"));
  const Ran replaced = RunServer({"migrate", "--from", store_.string(), "--store", uri, "--replace"});
  EXPECT_EQ(replaced.status, 0) << replaced.output;
  EXPECT_FALSE(Contains(RunServer({"list", "--store", uri}).output, "garage"));

  // The identifiers are found by their digest: the clients go on as before.
  Server server(uri);
  ASSERT_NE(server.port(), 0) << server.first();
  EXPECT_EQ(Word(server.port(), maison), "found");
  EXPECT_TRUE(Contains(server.LineWith("maison"), "unchanged 127.0.0.1"));
  EXPECT_EQ(Word(server.port(), "Imported_1"), "found");
  // And a backup of it is a SQLite file again, the same names in it.
  const Ran backup = RunServer({"backup", (dir_ / "back.db").string(), "--store", uri});
  EXPECT_EQ(backup.status, 0) << backup.output;
  EXPECT_EQ(RunServer({"list", "--store", (dir_ / "back.db").string()}).output,
            RunServer({"list", "--store", uri}).output);
}

// Two servers on one store: each applies the other's changes to its own copy, name by name.
TEST_F(ServerTest, TwoServersOnOneStoreTakeEachOthersChangesIntoTheirCopies) {
  TestDatabase database;
  const std::string uri = database.Uri();
  const std::string id = LastLine(RunServer({"add", "maison", "--store", uri}).output);
  Server a(uri), b(uri);
  ASSERT_TRUE(a.port() && b.port()) << a.first() << b.first();
  EXPECT_EQ(Word(a.port(), id), "found");                    // 127.0.0.1, seen by both
  EXPECT_EQ(WordFrom(b.port(), id, "127.0.0.2"), "found");  // recorded by B
  ::usleep(600'000);                                         // heard by A
  // Back at the address A saw last: recorded again, never "unchanged" from A's stale copy.
  EXPECT_EQ(Word(a.port(), id), "found");
  EXPECT_TRUE(Contains(a.LineWith("ip_key="), "recorded 127.0.0.1 for maison"));
  EXPECT_TRUE(Contains(RunServer({"list", "--store", uri}).output, "maison 127.0.0.1 -"));
  // A name added beside them is served by both; a re-keyed one refused by both at once.
  const std::string later = LastLine(RunServer({"add", "plus-tard", "--store", uri}).output);
  const Ran rekeyed = RunServer({"rekey", "maison", "--store", uri});
  ASSERT_EQ(rekeyed.status, 0) << rekeyed.output;
  ::usleep(600'000);
  for (Server* server : {&a, &b}) {
    EXPECT_EQ(Word(server->port(), later), "found");
    EXPECT_EQ(Word(server->port(), id), "notfound");
    EXPECT_EQ(Word(server->port(), LastLine(rekeyed.output)), "found");
    EXPECT_TRUE(Contains(server->LineWith(" store: "), "store: added plus-tard"));
    EXPECT_TRUE(Contains(server->LineWith(" store: "), "store: new identifier for maison"));
  }
}

// A PostgreSQL of the test's own, removed with it.
struct OwnPostgres {
  OwnPostgres() {
    char pattern[] = "/tmp/quorvel-pg-test-XXXXXX";
    EXPECT_NE(::mkdtemp(pattern), nullptr);
    folder = pattern;
    EXPECT_EQ(PostgresScript("start", folder), 0);
  }
  ~OwnPostgres() { PostgresScript("clean", folder); }
  std::string folder;
};

TEST_F(ServerTest, WhileItsPostgresqlIsAwayAServerDeniesChangesAndTakesThemAgainOnceBack) {
  OwnPostgres postgres;
  const std::string uri = PostgresUri(postgres.folder);
  const Ran added = RunServer({"add", "maison", "--store", uri});
  ASSERT_EQ(added.status, 0) << added.output;
  const std::string id = LastLine(added.output);
  Server server(uri);
  ASSERT_NE(server.port(), 0) << server.first();
  EXPECT_EQ(Word(server.port(), id), "found");  // 127.0.0.1 recorded

  ASSERT_EQ(PostgresScript("stop", postgres.folder), 0);
  // An unchanged address is answered from memory; a change is denied, never lost as found.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Word(server.port(), id), "found");
    EXPECT_EQ(WordFrom(server.port(), id, "127.0.0.2"), "denied");
  }
  const std::string dyndns = DynDns(server.port(), "hostname=maison.example&myip=192.0.2.9", "maison:" + id);
  EXPECT_EQ(Body(dyndns), "911\n") << dyndns;

  ASSERT_EQ(PostgresScript("start", postgres.folder), 0);
  // Back within the backoff (5 s at most), by itself.
  std::string word;
  for (int i = 0; i < 80 && word != "found"; ++i) {
    word = WordFrom(server.port(), id, "127.0.0.2");
    if (word != "found") ::usleep(100'000);
  }
  EXPECT_EQ(word, "found");
  EXPECT_TRUE(Contains(RunServer({"list", "--store", uri}).output, "maison 127.0.0.2 -"));
  // The loss and the return, once each, whatever the number of requests in between.
  int lost = 0, back = 0;
  for (std::string line = server.ReadLine(); !line.empty(); line = server.ReadLine()) {
    lost += Contains(line, "store: PostgreSQL lost");
    back += Contains(line, "store: PostgreSQL is back");
    if (Contains(line, "recorded 127.0.0.2")) break;
  }
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(back, 1);
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
