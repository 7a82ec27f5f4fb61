// The text of the file store: one line per value, holding the value's bytes exactly as the
// registry would, so that reading follows the same rules on every system.
//
// A line is five fields separated by tabs and ends with a line feed:
//   root (8 hex digits) TAB type (decimal) TAB key TAB value name TAB data LF
// In key, name and data, '%' and the bytes 0x00-0x1F and 0x7F are written as %HH; every other
// byte stands for itself, so any text round-trips, line ends and control characters included.
// Lines that do not have this form are skipped, as is a last line cut before its line feed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/stored_value.hpp"

namespace quorvel {

struct StoredValue {
  std::uint32_t root = 0;
  std::uint32_t type = kTypeString;
  std::string key;  // single-byte text, as the caller gave it
  std::string name;
  std::string data;  // the stored bytes; a string keeps its terminating zero
  bool operator==(const StoredValue&) const = default;
};

// Never fails: whatever cannot be read is left out.
std::vector<StoredValue> ParseStoreText(std::string_view text);

std::string FormatStoreText(const std::vector<StoredValue>& values);

}  // namespace quorvel
