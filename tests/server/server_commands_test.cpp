// quorvel-server's commands as a person uses them (add, list, remove, import, rekey, backup,
// the configuration file, SIGHUP), its store across restarts, and one server per store.
#include "server_process.hpp"

namespace {

using namespace qserver_test;

TEST_F(ServerTest, CommandsAddListRemoveAndImportAsAPersonUsesThem) {
  const std::string id = Add("maison");
  // Easy to read out: no 0 O 1 l I, one case.
  EXPECT_TRUE(std::regex_match(id, std::regex("[2-9A-HJ-NP-Z]{27}"))) << id;
  EXPECT_NE(Add("bureau"), id);
  // A taken or invalid label fails with a message and a non-zero status.
  for (const std::string& bad :
       std::vector<std::string>{"maison", "Maison", "-a", "a-", "a.b", "", std::string(64, 'a')}) {
    SCOPED_TRACE(bad);
    Ran ran = RunServer({"add", bad, "--store", store_.string()});
    EXPECT_NE(ran.status, 0);
    EXPECT_FALSE(ran.output.empty());
  }
  EXPECT_EQ(RunServer({"add", std::string(63, 'a'), "--store", store_.string()}).status, 0);
  // The zone's own names are never taken (reserved-labels, by default ns, www, mail, _*).
  for (const std::string& own : std::vector<std::string>{"ns", "www", "mail"}) {
    Ran ran = RunServer({"add", own, "--store", store_.string()});
    EXPECT_EQ(ran.status, 1) << own;
    EXPECT_TRUE(Contains(ran.output, "the name " + own + " is the zone's own: reserved")) << ran.output;
  }
  EXPECT_EQ(RunServer({"add", "maison2", "--store", store_.string(), "--reserved-labels", "mais*"}).status, 1);
  EXPECT_EQ(RunServer({"add", "www", "--store", store_.string(), "--reserved-labels", "ns"}).status, 0);
  EXPECT_EQ(RunServer({"remove", "www", "--store", store_.string()}).status, 0);
  EXPECT_EQ(List(), std::string(63, 'a') + " - - -\nbureau - - -\nmaison - - -\n");
  // The store keeps no identifier in clear.
  std::ifstream in(store_, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(Contains(bytes, id));
  Ran removed = RunServer({"remove", "bureau", "--store", store_.string()});
  EXPECT_EQ(removed.status, 0) << removed.output;
  EXPECT_NE(RunServer({"remove", "bureau", "--store", store_.string()}).status, 0);
  EXPECT_FALSE(Contains(List(), "bureau"));

  // A refserver store: identifiers kept as they are, each with a name, its address kept.
  // Lines written on Windows are read; a time that is not one (escape codes) is not kept.
  std::ofstream(dir_ / "ids.txt") << "demo\t127.0.0.1\t2026-12-09T00:31:29Z\r\nAbc_-1\r\nmaison\n\xff bad\n"
                                  << "crlf_4\t192.0.2.7\t\x1b]0;owned\x07\r\n";
  Ran imported = RunServer({"import", (dir_ / "ids.txt").string(), "--store", store_.string()});
  EXPECT_EQ(imported.status, 0) << imported.output;
  EXPECT_TRUE(Contains(imported.output, "imported 4 name(s)")) << imported.output;
  const std::string list = List();
  EXPECT_FALSE(Contains(list, "\x1b")) << list;
  EXPECT_TRUE(Contains(list, "imported-4 192.0.2.7 - 20")) << list;
  // Names never come from the identifiers: they would be public in DNS.
  EXPECT_TRUE(
      Contains(list, "imported-1 127.0.0.1 - 2026-12-09T00:31:29Z\nimported-2 - - -\nimported-3 - - -\n"))
      << list;
  EXPECT_FALSE(Contains(list, "abc_-1")) << list;
  Server server(store_);
  ASSERT_NE(server.port(), 0) << server.first();
  EXPECT_EQ(Word(server.port(), "demo"), "found");
  EXPECT_EQ(Word(server.port(), "Abc_-1"), "found");
  EXPECT_EQ(Word(server.port(), id), "found");
  // A name added while the server runs is served at once; one removed or re-keyed is refused
  // from the moment the command returns. The server logs each.
  const std::string later = Add("plus-tard");
  EXPECT_EQ(Word(server.port(), later), "found");
  EXPECT_TRUE(Contains(server.LineWith(" store: "), "store: added plus-tard")) << "add not logged";
  Ran rekeyed = RunServer({"rekey", "plus-tard", "--store", store_.string()});
  ASSERT_EQ(rekeyed.status, 0) << rekeyed.output;
  const std::string fresh = LastLine(rekeyed.output);
  EXPECT_TRUE(std::regex_match(fresh, std::regex("[2-9A-HJ-NP-Z]{27}"))) << rekeyed.output;
  EXPECT_EQ(Word(server.port(), later), "notfound");
  EXPECT_EQ(Word(server.port(), fresh), "found");
  EXPECT_TRUE(Contains(server.LineWith(" store: "), "store: new identifier for plus-tard"));
  EXPECT_TRUE(Contains(List(), "plus-tard 127.0.0.1 -"));  // the address kept
  EXPECT_NE(RunServer({"rekey", "absent", "--store", store_.string()}).status, 0);
  EXPECT_EQ(RunServer({"remove", "plus-tard", "--store", store_.string()}).status, 0);
  EXPECT_EQ(Word(server.port(), fresh), "notfound");
  EXPECT_TRUE(Contains(server.LineWith(" store: "), "store: removed plus-tard"));
  // A backup while serving: a store of its own, private, with every name.
  Ran backup = RunServer({"backup", (dir_ / "copy.db").string(), "--store", store_.string()});
  ASSERT_EQ(backup.status, 0) << backup.output;
  EXPECT_EQ(Stat(dir_ / "copy.db").st_mode & 0777, 0600u);
  EXPECT_EQ(RunServer({"list", "--store", (dir_ / "copy.db").string()}).output,
            RunServer({"list", "--store", store_.string()}).output);
  EXPECT_NE(RunServer({"backup", (dir_ / "no/such/folder.db").string(), "--store", store_.string()}).status, 0);

  // Options from a file; the command line wins.
  std::ofstream(dir_ / "server.conf")
      << "# comment\nstore = " << (dir_ / "other.db").string() << "\nttl = 30\n";
  EXPECT_EQ(RunServer({"add", "x", "--config", (dir_ / "server.conf").string()}).status, 0);
  EXPECT_TRUE(std::regex_search(RunServer({"list", "--config", (dir_ / "server.conf").string()}).output,
                                std::regex("\nx - - \\S+ -\n")));
  EXPECT_TRUE(Contains(
      RunServer({"list", "--config", (dir_ / "server.conf").string(), "--store", store_.string()}).output,
      "maison"));
  std::ofstream(dir_ / "bad.conf") << "nonsense = 1\n";
  EXPECT_EQ(RunServer({"list", "--config", (dir_ / "bad.conf").string()}).status, 2);
  EXPECT_EQ(RunServer({"serve", "--listen", "127.0.0.1"}).status, 2);
  EXPECT_EQ(RunServer({"serve", "--zone", "example.org"}).status, 2);  // no server or key
  Ran version = RunServer({"list", "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.output, std::regex("quorvel-server \\d+\\.\\d+\n"))) << version.output;
  // No store given: the system's, never one made in the current folder; serve makes none.
  Ran system = RunServer({"list"});
  EXPECT_EQ(system.status, 1);
  EXPECT_TRUE(Contains(system.output, "/var/lib/quorvel-server/quorvel-server.db")) << system.output;
  Ran missing = RunServer({"serve", "--listen", "127.0.0.1:0", "--store", (dir_ / "unmounted.db").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(Contains(missing.output, "no store at " + (dir_ / "unmounted.db").string())) << missing.output;
  EXPECT_FALSE(fs::exists(dir_ / "unmounted.db"));
  EXPECT_FALSE(fs::exists("quorvel-server.db"));
}

TEST_F(ServerTest, NamesAndAddressesSurviveARestartAndTheStoreIsPrivate) {
  const std::string id = Add("maison");
  EXPECT_EQ(Stat(store_).st_mode & 0777, 0600u);
  {
    Server server(store_);
    ASSERT_NE(server.port(), 0);
    EXPECT_EQ(Word(server.port(), id), "found");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  }
  for (const auto& entry : fs::directory_iterator(dir_)) {
    SCOPED_TRACE(entry.path());
    EXPECT_EQ(Stat(entry.path()).st_mode & 0077, 0u);  // the journals too
  }
  Server again(store_);
  ASSERT_NE(again.port(), 0);
  EXPECT_EQ(Word(again.port(), id), "found");
  EXPECT_TRUE(Contains(again.ReadLine(), "found, unchanged 127.0.0.1"));
  again.Stop();
  // A mode the owner chose is kept.
  fs::permissions(store_, fs::perms(0640));
  EXPECT_EQ(RunServer({"add", "bureau", "--store", store_.string()}).status, 0);
  EXPECT_EQ(Stat(store_).st_mode & 0777, 0640u);
  // A link planted under the store's name is refused, not followed.
  const fs::path victim = dir_ / "victim";
  std::ofstream(victim) << "precious\n";
  fs::create_symlink(victim, dir_ / "linked.db");
  Ran ran = RunServer({"list", "--store", (dir_ / "linked.db").string()});
  EXPECT_EQ(ran.status, 1) << ran.output;
  std::ifstream in(victim);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "precious\n");
}

TEST_F(ServerTest, SighupReloadsTheConfigurationWithoutDroppingItsSockets) {
  const std::string id = Add("maison");
  const fs::path conf = dir_ / "server.conf";
  std::ofstream(conf) << "ttl = 30\n";
  Server server(store_, {"--config", conf.string()});
  ASSERT_NE(server.port(), 0) << server.first();
  Connection held(server.port());  // half a request across the reloads
  ASSERT_TRUE(held.Send("GET /update?ip_key=" + id + " HTTP/1.1\r\n"));
  std::ofstream(conf) << "ttl = 45\nmax-names = 5\n";
  ASSERT_EQ(::kill(server.pid(), SIGHUP), 0);
  EXPECT_TRUE(Contains(server.LineWith("SIGHUP"),
                       "SIGHUP: configuration reloaded; changed, taken at the next start: max-names"));
  // A configuration that does not read is logged, the running one kept.
  std::ofstream(conf) << "nonsense = 1\n";
  ASSERT_EQ(::kill(server.pid(), SIGHUP), 0);
  EXPECT_TRUE(Contains(server.LineWith("SIGHUP"), "SIGHUP: not reloaded, the running configuration kept: " +
                                                       conf.string() + ":1: not an option line"));
  // A name added while no client comes is logged all the same, within a second.
  Add("sans-client");
  EXPECT_TRUE(Contains(server.LineWith(" store: "), "store: added sans-client"));
  ASSERT_TRUE(held.Send("Host: " + OwnHost(server.port()) + "\r\n\r\n"));
  EXPECT_TRUE(EndsWith(held.ReadToClose(), "found"));
  EXPECT_EQ(Word(server.port(), id), "found");
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(ServerTest, ASecondServerOnTheSameStoreRefusesToStart) {
  const std::string id = Add("maison");
  Server first(store_);
  ASSERT_NE(first.port(), 0);
  Server second(store_);
  EXPECT_EQ(second.port(), 0);
  EXPECT_TRUE(Contains(second.first(), "in use by another quorvel-server")) << second.first();
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_EQ(Word(first.port(), id), "found");
  EXPECT_EQ(first.Stop(), 0);
  Server after(store_);
  EXPECT_NE(after.port(), 0) << after.first();
}

}  // namespace
