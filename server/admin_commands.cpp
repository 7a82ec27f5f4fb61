// The commands that manage the names in the store, beside a running `serve` or without one:
// add, remove, list and import. Each opens the store, does its work and ends.
#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "server/commands.hpp"
#include "server/identity.hpp"
#include "server/log_sink.hpp"
#include "server/name_store.hpp"

namespace qserver {

namespace {

std::unique_ptr<NameStore> Open(const Options& o) {
  std::string error;
  std::unique_ptr<NameStore> store = OpenStore(o.store, error);
  if (!store) Fail(error);
  return store;
}

// After remove: the records go now if the primary answers, or stay as pending work.
void PushNow(const Options& o, NameStore& store, const std::string& label) {
  std::unique_ptr<DnsUpdater> updater;
  std::string error;
  if (!MakeUpdater(o, nullptr, updater, error)) {
    std::printf("DNS: %s; the records' removal is kept as pending work\n", error.c_str());
    return;
  }
  std::vector<PendingRow> rows;
  for (PendingRow& row : store.Pending(100000).value)
    if (row.label == label) rows.push_back(row);
  if (rows.empty()) return;
  if (updater->Send(rows, error)) {
    store.Done(rows);
    std::printf("DNS: the A and AAAA records of %s are deleted\n", FullName(label, o.zone).c_str());
  } else {
    std::printf("DNS: %s; the records' removal is kept as pending work for the running server\n",
                error.c_str());
  }
}

}  // namespace

int RunAdd(Options& o) {
  const auto store = Open(o);
  if (!store) return 1;
  if (!IsLabel(o.argument))
    return Fail("\"" + o.argument + "\" is not a name: 1 to 63 lower-case letters, digits and inner hyphens");
  const std::string id = NewIdentifier();
  const Result<NameStore::Added> added = store->Add(o.argument, IdentifierDigest(id), UtcNow());
  if (!added.ok()) return Fail("cannot write " + o.store + ": " + added.error);
  if (added.value == NameStore::Added::kTaken) return Fail("the name " + o.argument + " is taken");
  std::printf("added %s; its identifier (a secret, shown only now):\n%s\n",
              FullName(o.argument, o.zone).c_str(), id.c_str());
  return 0;
}

int RunRemove(Options& o) {
  const auto store = Open(o);
  if (!store) return 1;
  const bool dns = !o.zone.empty();
  if (!store->Remove(o.argument, dns).value) return Fail("no name " + o.argument + " in " + o.store);
  std::printf("removed %s\n", FullName(o.argument, o.zone).c_str());
  if (dns) PushNow(o, *store, o.argument);
  return 0;
}

int RunList(Options& o) {
  const auto store = Open(o);
  if (!store) return 1;
  for (const NameRow& row : store->All().value) {
    const std::string& when = row.ipv4Time > row.ipv6Time ? row.ipv4Time : row.ipv6Time;
    std::printf("%s %s %s %s\n", row.label.c_str(), row.ipv4.empty() ? "-" : row.ipv4.c_str(),
                row.ipv6.empty() ? "-" : row.ipv6.c_str(), when.empty() ? "-" : when.c_str());
  }
  return 0;
}

int RunImport(Options& o) {
  const auto opened = Open(o);
  if (!opened) return 1;
  NameStore& store = *opened;
  const bool dns = !o.zone.empty();
  // import: a refserver store, one identifier a line, optionally its address and time after
  // tabs. Identifiers are kept as they are; each gets a name of its own, imported-N, printed
  // beside its line number so that the operator can rename it.
  std::ifstream in(o.argument);
  if (!in) return Fail("cannot read " + o.argument);
  std::string line;
  int number = 0, imported = 0, skipped = 0, next = 1;
  while (std::getline(in, line)) {
    ++number;
    std::istringstream fields(line);
    std::string id, address, time;
    std::getline(fields, id, '\t');
    std::getline(fields, address, '\t');
    std::getline(fields, time, '\t');
    if (!IsSafeIdentifier(id)) {
      if (!line.empty()) ++skipped;
      continue;
    }
    // The name is never made from the identifier: with a zone, names are public in DNS, and an
    // identifier is a secret.
    std::string label;
    Result<NameStore::Added> result{NameStore::Added::kTaken};
    while (result.ok() && result.value == NameStore::Added::kTaken) {
      label = "imported-" + std::to_string(next++);
      result = store.Add(label, IdentifierDigest(id), UtcNow());
    }
    if (!result.ok()) {
      // The same identifier twice, or the store not writable.
      std::fprintf(stderr, "quorvel-server: %s:%d not imported: %s\n", o.argument.c_str(), number,
                   result.error.c_str());
      ++skipped;
      continue;
    }
    unsigned char buffer[16];
    if (::inet_pton(AF_INET, address.c_str(), buffer) == 1)
      store.Record(label, kFamilyV4, address, time.empty() ? UtcNow() : time, dns);
    else if (::inet_pton(AF_INET6, address.c_str(), buffer) == 1)
      store.Record(label, kFamilyV6, address, time.empty() ? UtcNow() : time, dns);
    std::printf("imported %s (line %d)\n", FullName(label, o.zone).c_str(), number);
    ++imported;
  }
  std::printf("imported %d name(s) from %s%s\n", imported, o.argument.c_str(),
              skipped ? (", " + std::to_string(skipped) + " line(s) skipped").c_str() : "");
  return 0;
}

}  // namespace qserver
