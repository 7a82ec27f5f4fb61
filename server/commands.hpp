// The commands of quorvel-server, as one table: it drives the dispatch, the check of their
// arguments and their lines in --help.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "server/dns_update.hpp"
#include "server/name_store.hpp"
#include "server/options.hpp"

namespace qserver {

struct Command {
  const char* name;
  const char* argument;  // LABEL, FILE; null: none
  const char* help;
  int (*run)(Options& options);  // the exit status
};
std::span<const Command> CommandTable();
const Command* FindCommand(std::string_view name);

int RunServe(Options& options);  // serve.cpp
int RunAdd(Options& options);    // admin_commands.cpp, as the ones below
int RunRemove(Options& options);
int RunList(Options& options);
int RunImport(Options& options);
int RunRekey(Options& options);
int RunBackup(Options& options);
int RunMigrate(Options& options);

// "quorvel-server: MESSAGE" on standard error; returns 1.
int Fail(const std::string& message);

// Whether the label is the zone's own: reserved (reserved-labels), or holding records at the
// primary when there is a zone. When the primary cannot be asked, false with why it could not.
bool ZoneHolds(const Options& o, const std::string& label, std::string& why);
// The same with the primary's updater given (null: not asked), kept for the next labels; one
// that could not be asked is dropped, so that a primary that is down is waited for once.
bool ZoneHolds(const Options& o, const std::string& label, std::unique_ptr<DnsUpdater>& primary,
               std::string& why);

// The DNS updater of the options' zone, none without a zone. False with a message in error.
bool MakeUpdater(const Options& o, const std::atomic<bool>* stop, std::unique_ptr<DnsUpdater>& updater,
                 std::string& error);

}  // namespace qserver
