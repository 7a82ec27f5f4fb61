// The commands that manage the names in the store, beside a running `serve` or without one:
// add, remove, list, import, rekey, backup and migrate. Each opens the store, does its work and
// ends.
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

std::unique_ptr<NameStore> Open(const Options& o, bool create = false) {
  std::string error;
  std::unique_ptr<NameStore> store = OpenStore(o.store, create, error);
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
  if (rows.empty()) {
    store.Release();
    return;
  }
  if (updater->Send(rows, error)) {
    store.Done(rows);
    std::printf("DNS: the A and AAAA records of %s are deleted\n", FullName(label, o.zone).c_str());
  } else {
    std::printf("DNS: %s; the records' removal is kept as pending work for the running server\n",
                error.c_str());
  }
  store.Release();
}

// A new identifier on the last line, after what it is for: the store keeps only its digest,
// so this is the one time it is seen.
int ShowIdentifier(const std::string& lead, const std::string& id) {
  std::printf("%s (a secret, shown only now):\n%s\n", lead.c_str(), id.c_str());
  return 0;
}

}  // namespace

int RunAdd(Options& o) {
  if (!IsLabel(o.argument))
    return Fail("\"" + o.argument + "\" is not a name: 1 to 63 lower-case letters, digits and inner hyphens");
  std::string why;
  if (ZoneHolds(o, o.argument, why)) return Fail("the name " + o.argument + " is the zone's own: " + why);
  if (!why.empty()) std::printf("note: %s\n", why.c_str());
  const auto store = Open(o, true);
  if (!store) return 1;
  const std::string id = NewIdentifier();
  const Result<NameStore::Added> added = store->Add(o.argument, IdentifierDigest(id), UtcNow());
  if (!added.ok()) return Fail("cannot write " + o.store + ": " + added.error);
  if (added.value == NameStore::Added::kTaken) return Fail("the name " + o.argument + " is taken");
  return ShowIdentifier("added " + FullName(o.argument, o.zone) + "; its identifier", id);
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
  const Result<std::vector<NameRow>> all = store->All();
  if (!all.ok()) return Fail("cannot read " + o.store + ": " + all.error);
  const auto dash = [](const std::string& text) { return text.empty() ? "-" : text.c_str(); };
  std::printf("label ipv4 ipv6 created updated\n");
  for (const NameRow& row : all.value) {
    const std::string& when = row.ipv4Time > row.ipv6Time ? row.ipv4Time : row.ipv6Time;
    std::printf("%s %s %s %s %s\n", row.label.c_str(), dash(row.ipv4), dash(row.ipv6), dash(row.created),
                dash(when));
  }
  return 0;
}

int RunRekey(Options& o) {
  const auto store = Open(o);
  if (!store) return 1;
  const std::string id = NewIdentifier();
  const Result<bool> rekeyed = store->Rekey(o.argument, IdentifierDigest(id));
  if (!rekeyed.ok()) return Fail("cannot write " + o.store + ": " + rekeyed.error);
  if (!rekeyed.value) return Fail("no name " + o.argument + " in " + o.store);
  return ShowIdentifier(
      "new identifier for " + FullName(o.argument, o.zone) + ", the old one is refused from now on", id);
}

int RunBackup(Options& o) {
  const auto store = Open(o);
  if (!store) return 1;
  const Result<> copied = store->Backup(o.argument);
  if (!copied.ok()) return Fail("cannot back " + o.store + " up into " + o.argument + ": " + copied.error);
  std::printf("%s backed up into %s\n", o.store.c_str(), o.argument.c_str());
  return 0;
}

int RunMigrate(Options& o) {
  if (o.from.empty()) return Fail("migrate wants --from OLD.db, the store to copy into --store");
  if (o.from == o.store) return Fail("migrate: --from and --store are the same store");
  std::string error;
  const std::unique_ptr<NameStore> source = OpenStore(o.from, false, error);
  if (!source) return Fail(error);
  const auto target = Open(o, true);
  if (!target) return 1;
  const Result<StoreContents> contents = source->Contents();
  if (!contents.ok()) return Fail("cannot read " + o.from + ": " + contents.error);
  // One transaction: the whole store or nothing; the identifiers' digests are copied as they
  // are, so every client keeps working.
  const Result<> filled = target->Fill(contents.value, o.replace);
  if (!filled.ok())
    return Fail("cannot copy into " + o.store + ": " + filled.error +
                (filled.error.find("not empty") != std::string::npos ? "; --replace replaces it" : ""));
  std::printf("copied %zu name(s) and %zu name(s) of DNS work from %s into %s\n", contents.value.names.size(),
              contents.value.pending.size(), o.from.c_str(), o.store.c_str());
  return 0;
}

int RunImport(Options& o) {
  const auto opened = Open(o, true);
  if (!opened) return 1;
  NameStore& store = *opened;
  const bool dns = !o.zone.empty();
  // import: a refserver store, one identifier a line, optionally its address and time after
  // tabs. Identifiers are kept as they are; each gets a name of its own, imported-N, printed
  // beside its line number so that the operator can rename it.
  std::ifstream in(o.argument);
  if (!in) return Fail("cannot read " + o.argument);
  // One connection to the primary for every label asked (none when it cannot be asked).
  std::unique_ptr<DnsUpdater> primary;
  std::string noPrimary;
  if (!MakeUpdater(o, nullptr, primary, noPrimary)) std::printf("note: %s\n", noPrimary.c_str());
  std::string line;
  int number = 0, imported = 0, skipped = 0, next = 1;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();  // written on Windows
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
    std::string label, why;
    Result<NameStore::Added> result{NameStore::Added::kTaken};
    while (result.ok() && result.value == NameStore::Added::kTaken) {
      label = "imported-" + std::to_string(next++);
      if (ZoneHolds(o, label, primary, why)) continue;
      if (!why.empty()) std::printf("note: %s\n", why.c_str());
      result = store.Add(label, IdentifierDigest(id), UtcNow());
    }
    if (!result.ok()) {
      // The same identifier twice, or the store not writable.
      std::fprintf(stderr, "quorvel-server: %s:%d not imported: %s\n", o.argument.c_str(), number,
                   result.error.c_str());
      ++skipped;
      continue;
    }
    // The time is shown by list: only its own characters, never a terminal's escape codes.
    if (time.find_first_not_of("0123456789-:TZ.+ ") != std::string::npos) {
      std::fprintf(stderr, "quorvel-server: %s:%d: the time is not one, the address taken now\n",
                   o.argument.c_str(), number);
      time.clear();
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
