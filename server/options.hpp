// The command line and the configuration file: the same options, `--name value` on the
// command line and `name = value` lines in the file; the command line wins.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "server/endpoint.hpp"

namespace qserver {

struct Options {
  std::string command;   // serve, add, remove, list, import, rekey, backup, migrate
  std::string argument;  // the LABEL or FILE of add, remove, import
  std::vector<Endpoint> listen;
  std::vector<Endpoint> listenHttps;  // answered over libmicrohttpd's own TLS
  std::string tlsCert;                // PEM files of --listen-https, read once at the start
  std::string tlsKey;
  // A SQLite file, or a postgresql:// URI (several servers on one store).
  std::string store = "/var/lib/quorvel-server/quorvel-server.db";
  bool create = false;  // serve: make the store when it is not there
  std::string from;      // migrate: the store copied into --store
  bool replace = false;  // migrate: a --store that holds names is emptied first
  std::string zone;  // without a final dot; empty: addresses are recorded only
  std::optional<Endpoint> dnsServer;
  std::string tsigKey;
  int ttl = 60;
  std::vector<std::string> trustedProxies;
  std::vector<std::string> allowHosts;
  std::optional<Endpoint> metricsListen;
  int readTimeout = 10;            // seconds a connection may stay silent
  int maxPerPeer = 64;             // connections at once from one peer (all of loopback is one)
  int maxConnections = 1024;       // connections at once
  int maxCreationsPerMinute = 10;  // identifiers one peer may create a minute on the page
  int maxNames = 10000;            // no creation on the page once the store holds as many
  int threads = 2;                 // threads answering each listening address
  int maxUpdatesPerMinute = 10;    // per name; more is a flood (0: no limit, for benchmarks)
  int maxFailuresPerHour = 30;     // unknown identifiers one peer may try an hour (0: no limit)
  bool openCreation = false;       // the creation page makes names
  // Labels no one may take (the zone's own names); a final * takes every label it begins.
  std::vector<std::string> reservedLabels = {"ns", "www", "mail", "_*"};
  std::vector<std::string> argv;  // the command line, as given
};

// One option, as the table below gives it: its name (--NAME on the command line, NAME = VALUE
// in the configuration file), the kind of value, whether it may repeat (each value kept) or
// not (the last one wins), whether a running server could take it anew without a restart,
// and what --help says of it. The table drives the parsing, the file and --help.
struct OptionSpec {
  enum class Kind { kText, kZone, kNumber, kEndpoint, kAddress, kConfigFile, kSwitch };
  using Field =
      std::variant<std::monostate, std::string Options::*, int Options::*, std::optional<Endpoint> Options::*,
                   std::vector<Endpoint> Options::*, std::vector<std::string> Options::*, bool Options::*>;
  const char* name;
  Kind kind;
  bool repeatable;
  bool reloadable;
  const char* value;  // the value as --help writes it
  const char* help;
  Field field;
  int min = 0, max = 0;  // kNumber
};
std::span<const OptionSpec> OptionTable();

// The entry of a table (options, commands) with the name given, or null.
template <typename Entry>
const Entry* FindByName(std::span<const Entry> table, std::string_view name) {
  for (const Entry& entry : table)
    if (name == entry.name) return &entry;
  return nullptr;
}
const OptionSpec* FindOption(std::string_view name);

// Fills options from argv (and the --config file it names). On failure returns false
// with a message for the user in error.
bool ParseCommandLine(int argc, char** argv, Options& options, std::string& error);

// The names of the options whose values differ between a and b.
std::vector<std::string> ChangedOptions(const Options& a, const Options& b);

// --help: the commands and the options, from their tables.
std::string Usage();

}  // namespace qserver
