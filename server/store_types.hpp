// The values the store holds and gives back, whatever engine keeps them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qserver {

// An address family, also a bit of PendingRow::families.
enum Family : int { kFamilyV4 = 1, kFamilyV6 = 2 };

// A name: the digest of its identifier, its IPv4 and IPv6 address with when each was recorded.
struct NameRow {
  std::string label;
  std::string digest;
  std::string ipv4, ipv4Time, ipv6, ipv6Time;
  std::string created;
  bool operator==(const NameRow&) const = default;
};

// DNS work for one name: the families whose records must be made to match the store.
struct PendingRow {
  std::string label;
  int families = 0;
  long long generation = 0;
  bool exists = false;  // false: the name was removed, its records go
  std::string ipv4, ipv6;
  // Never published into the zone: its update must find the name unused there, so that
  // nothing the zone's operator put under it is replaced.
  bool first = false;
  bool operator==(const PendingRow&) const = default;
};

// A change another server or command made, as the copy in memory applies it.
struct StoreChange {
  enum class Kind { kReload, kAdded, kRemoved, kRekeyed, kRecorded };
  Kind kind = Kind::kReload;  // StoreChange{}: read the whole store again
  std::string label;
  std::string digest;     // the name's (kRekeyed: the new one)
  std::string oldDigest;  // kRekeyed
  Family family = kFamilyV4;  // kRecorded
  std::string address;        // kRecorded
  bool operator==(const StoreChange&) const = default;
};

// The whole of a store, as migrate copies it from one engine into another.
struct StoredName {
  NameRow row;
  bool published = true;
};
struct StoredWork {
  std::string label;
  int families = 0;
  long long generation = 0;
};
struct StoreContents {
  std::vector<StoredName> names;                            // by label
  std::vector<StoredWork> pending;                          // oldest first
  std::vector<std::pair<std::string, std::string>> meta;  // key, value
};

}  // namespace qserver
