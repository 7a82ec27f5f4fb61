// The option and command tables: what they parse, what --help says, and that the man page and
// the example configuration name every option.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "server/commands.hpp"
#include "server/options.hpp"

namespace {

using namespace qserver;

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Parse(std::vector<std::string> words, Options& options, std::string& error) {
  words.insert(words.begin(), "quorvel-server");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  options = Options{};
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(OptionTable, EveryOptionIsInTheManPageTheExampleConfigurationAndHelp) {
  const std::string man = Read(QUORVEL_SOURCE_DIR "/server/quorvel-server.1");
  const std::string conf = Read(QUORVEL_SOURCE_DIR "/server/server.conf");
  const std::string help = Usage();
  ASSERT_FALSE(man.empty());
  ASSERT_FALSE(conf.empty());
  for (const OptionSpec& option : OptionTable()) {
    SCOPED_TRACE(option.name);
    std::string escaped;  // as roff writes it: \-\-max\-names
    for (const char c : std::string("--") + option.name) escaped += c == '-' ? "\\-" : std::string(1, c);
    EXPECT_NE(man.find(".BI " + escaped + " "), std::string::npos);
    const std::string name = option.name;  // as an example line, commented out or not
    if (option.kind != OptionSpec::Kind::kConfigFile) {
      EXPECT_TRUE(conf.find("\n#" + name + " = ") != std::string::npos ||
                  conf.find("\n" + name + " = ") != std::string::npos);
    }
    EXPECT_NE(help.find(std::string("--") + option.name + " " + option.value), std::string::npos);
  }
  for (const Command& command : CommandTable()) {
    EXPECT_NE(help.find(std::string("  ") + command.name), std::string::npos) << command.name;
    EXPECT_NE(man.find(std::string(".B") + (command.argument ? "I " : " ") + command.name), std::string::npos)
        << command.name;
  }
}

TEST(OptionTable, TheCommandLineWinsAndEachKindIsChecked) {
  const std::string conf = ::testing::TempDir() + "quorvel-options-test.conf";
  std::ofstream(conf) << "# comment\n store = a.db \nlisten = 127.0.0.1:1\nlisten = [::1]:2\nttl = 30\n"
                         "zone = Dyn.Example.ORG.\ndns-server = 127.0.0.1:53\ntsig-key = k\n";
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"list", "--config", conf, "--ttl=45", "--listen", "127.0.0.1:3"}, o, error)) << error;
  EXPECT_EQ(o.command, "list");
  EXPECT_EQ(o.store, "a.db");
  EXPECT_EQ(o.ttl, 45);
  EXPECT_EQ(o.zone, "dyn.example.org");
  ASSERT_EQ(o.listen.size(), 1u);  // a repeatable option's whole list from the command line
  EXPECT_EQ(o.listen[0].Text(), "127.0.0.1:3");
  EXPECT_EQ(o.dnsServer->Text(), "127.0.0.1:53");
  ASSERT_TRUE(Parse({"serve", "--trusted-proxy", "::1", "--trusted-proxy", "10.0.0.1"}, o, error)) << error;
  EXPECT_EQ(o.trustedProxies, (std::vector<std::string>{"::1", "10.0.0.1"}));
  EXPECT_EQ(o.listen.size(), 2u);  // the default: both families on port 80
  EXPECT_EQ(o.maxPerPeer, 64);
  EXPECT_FALSE(o.openCreation);  // closed unless the operator opens it
  EXPECT_EQ(o.maxFailuresPerHour, 30);
  ASSERT_TRUE(Parse({"serve", "--open-creation", "--max-failures-per-hour", "0"}, o, error)) << error;
  EXPECT_TRUE(o.openCreation);
  EXPECT_EQ(o.maxFailuresPerHour, 0);
  std::ofstream(conf) << "open-creation = YES\n";
  ASSERT_TRUE(Parse({"serve", "--config", conf}, o, error)) << error;
  EXPECT_TRUE(o.openCreation);
  ASSERT_TRUE(Parse({"serve", "--config", conf, "--open-creation=no"}, o, error)) << error;
  EXPECT_FALSE(o.openCreation);
  ASSERT_TRUE(Parse({"add", "maison", "--max-per-peer", "8"}, o, error)) << error;
  EXPECT_EQ(o.argument, "maison");
  EXPECT_EQ(o.maxPerPeer, 8);
  // Never a file in the current folder; a flag takes no value; the unit's key without a zone.
  EXPECT_EQ(o.store, "/var/lib/quorvel-server/quorvel-server.db");
  EXPECT_FALSE(o.create);
  EXPECT_EQ(o.reservedLabels, (std::vector<std::string>{"ns", "www", "mail", "_*"}));
  Options before = o;
  ASSERT_TRUE(Parse({"serve", "--create", "--tsig-key", "k", "--ttl", "5"}, o, error)) << error;
  EXPECT_TRUE(o.create);
  EXPECT_EQ(o.tsigKey, "k");
  EXPECT_EQ(ChangedOptions(before, o), (std::vector<std::string>{"create", "tsig-key", "ttl", "max-per-peer"}));
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{}, "no command"},
      {{"renommer"}, "unknown command \"renommer\""},
      {{"serve", "--create=maybe"}, "--create wants yes or no, not \"maybe\""},
      {{"add"}, "add takes one argument"},
      {{"list", "x"}, "list takes no argument"},
      {{"list", "--nonsense", "1"}, "unknown option --nonsense"},
      {{"list", "--ttl"}, "--ttl wants a value"},
      {{"list", "--ttl", "86401"}, "--ttl wants a number from 0 to 86400, not \"86401\""},
      {{"list", "--threads", "2x"}, "--threads wants a number from 1 to 64, not \"2x\""},
      {{"list", "--listen", "127.0.0.1"}, "--listen wants ADDR:PORT (IPv6 in brackets), not \"127.0.0.1\""},
      {{"list", "--trusted-proxy", "proxy"}, "--trusted-proxy wants an IP address, not \"proxy\""},
      {{"serve", "--zone", "x.org"}, "--zone wants --dns-server and --tsig-key too"},
      {{"serve", "--open-creation=1"}, "--open-creation wants yes or no, not \"1\""},
      {{"serve", "--open-creation", "yes"}, "serve takes no argument"},
      {{"list", "--tsig-key", "k", "--dns-server", "127.0.0.1:53"}, "--dns-server goes with --zone"},
      {{"serve", "--listen-https", "127.0.0.1:0"}, "--listen-https wants --tls-cert and --tls-key too"},
      {{"serve", "--listen-https", "127.0.0.1:0", "--tls-cert", "c.pem"},
       "--listen-https wants --tls-cert and --tls-key too"},
      {{"serve", "--listen-https", "127.0.0.1:0", "--tls-key", "k.pem"},
       "--listen-https wants --tls-cert and --tls-key too"},
      {{"serve", "--tls-cert", "c.pem", "--tls-key", "k.pem"}, "--tls-cert and --tls-key go with --listen-https"},
      {{"serve", "--tls-key", "k.pem"}, "--tls-cert and --tls-key go with --listen-https"},
  };
  for (const auto& [words, message] : refused) {
    EXPECT_FALSE(Parse(words, o, error)) << message;
    EXPECT_EQ(error, message);
  }
  // The TLS trio from the configuration file as from the command line; the socket repeats.
  std::ofstream(conf) << "listen-https = 127.0.0.1:0\nlisten-https = [::1]:8443\ntls-cert = c.pem\ntls-key = k.pem\n";
  ASSERT_TRUE(Parse({"serve", "--config", conf}, o, error)) << error;
  ASSERT_EQ(o.listenHttps.size(), 2u);
  EXPECT_EQ(o.listenHttps[1].Text(), "[::1]:8443");
  EXPECT_EQ(o.tlsCert, "c.pem");
  EXPECT_EQ(o.tlsKey, "k.pem");
  std::ofstream(conf) << "config = other.conf\n";
  EXPECT_FALSE(Parse({"list", "--config", conf}, o, error));
  EXPECT_EQ(error, conf + ":1: not an option line: config = other.conf");
  std::remove(conf.c_str());
}

}  // namespace
