// Names and identifiers: what a label and an identifier may be, new identifiers, and the
// digest the store keeps in place of an identifier.
#pragma once

#include <string>
#include <string_view>

namespace qserver {

// One DNS label: lower-case letters, digits and inner hyphens, 1 to 63 characters.
bool IsLabel(std::string_view label);

// A name in the zone: "label.zone" (no final dot), the label alone without a zone.
inline std::string FullName(std::string_view label, std::string_view zone) {
  std::string name(label);
  if (!zone.empty()) name.append(1, '.').append(zone);
  return name;
}

// The label of a name given as the label or as the full name in the zone.
inline std::string_view LabelOf(std::string_view name, std::string_view zone) {
  if (!zone.empty() && name.size() > zone.size() + 1 && name.substr(name.size() - zone.size()) == zone &&
      name[name.size() - zone.size() - 1] == '.')
    name.remove_suffix(zone.size() + 1);
  return name;
}

// What an update may carry as identifier: 1 to 32 of A-Z a-z 0-9 - _ (identifiers brought
// from an older store may be shorter than the ones made here), nothing that needs escaping.
inline constexpr std::size_t kMaxIdentifierLength = 32;
bool IsSafeIdentifier(std::string_view id);

// A new identifier: 22 characters of A-Z a-z 0-9 - _ from the kernel's random source (over
// 128 bits), never starting with '-' so that no command line takes it for an option.
std::string NewIdentifier();

// 128 random bits as 32 hex digits (the creation form's token).
std::string NewToken();

// What the store keeps to check an identifier: its SHA-256, in hex. The identifiers made
// here are random and long, so the digest alone tells nothing a guess could use.
std::string IdentifierDigest(std::string_view id);

}  // namespace qserver
