#include "server/commands.hpp"

#include <cstdio>

namespace qserver {

namespace {

// Where `rekey` and `backup` will go.
constexpr Command kCommands[] = {
    {"serve", nullptr, "answers the clients and publishes their addresses into DNS", RunServe},
    {"add", "LABEL", "a new name; prints its identifier, shown only then", RunAdd},
    {"remove", "LABEL", "takes the name out, and its records out of DNS", RunRemove},
    {"list", nullptr, "the names: label, IPv4, IPv6, when last recorded", RunList},
    {"import", "FILE", "a name for each identifier of a refserver store", RunImport},
};

}  // namespace

std::span<const Command> CommandTable() { return kCommands; }

const Command* FindCommand(std::string_view name) { return FindByName(CommandTable(), name); }

int Fail(const std::string& message) {
  std::fprintf(stderr, "quorvel-server: %s\n", message.c_str());
  return 1;
}

bool MakeUpdater(const Options& o, const std::atomic<bool>* stop, std::unique_ptr<DnsUpdater>& updater,
                 std::string& error) {
  if (o.zone.empty()) return true;
  TsigKey key;
  if (!LoadTsigKey(o.tsigKey, key, error)) return false;
  updater = std::make_unique<DnsUpdater>(o.zone, *o.dnsServer, key, o.ttl, stop);
  return true;
}

}  // namespace qserver
