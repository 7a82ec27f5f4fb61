#include "server/commands.hpp"

#include <cstdio>

#include "server/identity.hpp"

namespace qserver {

namespace {

constexpr Command kCommands[] = {
    {"serve", nullptr, "answers the clients and publishes their addresses into DNS", RunServe},
    {"add", "LABEL", "a new name; prints its identifier, shown only then", RunAdd},
    {"remove", "LABEL", "takes the name out, and its records out of DNS", RunRemove},
    {"list", nullptr, "the names: label, IPv4, IPv6, when created and last updated", RunList},
    {"import", "FILE", "a name for each identifier of a refserver store", RunImport},
    {"rekey", "LABEL", "a new identifier for the name, the old one refused; prints it", RunRekey},
    {"backup", "FILE", "a consistent copy of the store (a SQLite file), even while serve runs", RunBackup},
    {"migrate", nullptr, "copies the names and their work of --from into --store (PostgreSQL)", RunMigrate},
};

}  // namespace

std::span<const Command> CommandTable() { return kCommands; }

const Command* FindCommand(std::string_view name) { return FindByName(CommandTable(), name); }

namespace {

std::string NotAsked(const std::string& label, const std::string& error) {
  return "the primary could not be asked whether the zone holds " + label + " (" + error +
         "); its first publication will not replace records of the zone's";
}

}  // namespace

int Fail(const std::string& message) {
  std::fprintf(stderr, "quorvel-server: %s\n", message.c_str());
  return 1;
}

bool ZoneHolds(const Options& o, const std::string& label, std::string& why) {
  std::unique_ptr<DnsUpdater> primary;
  std::string error;
  const bool made = MakeUpdater(o, nullptr, primary, error);
  if (ZoneHolds(o, label, primary, why)) return true;
  if (!made) why = NotAsked(label, error);
  return false;
}

bool ZoneHolds(const Options& o, const std::string& label, std::unique_ptr<DnsUpdater>& primary,
               std::string& why) {
  why.clear();
  for (const std::string& reserved : o.reservedLabels) {
    const bool prefix = !reserved.empty() && reserved.back() == '*';
    if (prefix ? label.rfind(reserved.substr(0, reserved.size() - 1), 0) == 0 : label == reserved) {
      why = "reserved (reserved-labels " + reserved + ")";
      return true;
    }
  }
  bool holds = false;
  std::string error;
  if (primary && !primary->Holds(label, holds, error)) {
    why = NotAsked(label, error);
    primary.reset();
    return false;
  }
  if (holds) why = "the zone's primary holds records named " + FullName(label, o.zone);
  return holds;
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
