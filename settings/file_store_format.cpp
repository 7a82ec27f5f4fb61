#include "settings/file_store_format.hpp"

#include <optional>

namespace quorvel {
namespace {

constexpr char kHeader[] =
    "# Quorvel settings: root, type, key, value name, data; tab-separated, %HH escapes\n";
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool NeedsEscape(unsigned char c) { return c < 0x20 || c == 0x7F || c == '%'; }

void AppendEscaped(std::string& out, std::string_view field) {
  for (const char ch : field) {
    const auto c = static_cast<unsigned char>(ch);
    if (NeedsEscape(c)) {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0x0F];
    } else {
      out += ch;
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> Unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    const auto c = static_cast<unsigned char>(field[i]);
    if (c == '%') {
      if (field.size() - i < 3) return std::nullopt;
      const int high = HexValue(field[i + 1]);
      const int low = HexValue(field[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>((high << 4) | low);
      i += 2;
    } else if (NeedsEscape(c)) {
      return std::nullopt;  // a raw control byte: not a line this store wrote
    } else {
      out += field[i];
    }
  }
  return out;
}

// Exactly 8 hex digits.
std::optional<std::uint32_t> ParseRoot(std::string_view field) {
  if (field.size() != 8) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : field) {
    const int digit = HexValue(c);
    if (digit < 0) return std::nullopt;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return value;
}

// 1 to 10 decimal digits, at most 4294967295.
std::optional<std::uint32_t> ParseType(std::string_view field) {
  if (field.empty() || field.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<StoredValue> ParseLine(std::string_view line) {
  std::string_view fields[5];
  std::size_t count = 0;
  std::size_t start = 0;
  while (true) {
    const auto tab = line.find('\t', start);
    if (count == 5) return std::nullopt;  // too many fields
    fields[count++] = line.substr(start, tab == std::string_view::npos ? line.npos : tab - start);
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  if (count != 5) return std::nullopt;
  const auto root = ParseRoot(fields[0]);
  const auto type = ParseType(fields[1]);
  auto key = Unescape(fields[2]);
  auto name = Unescape(fields[3]);
  auto data = Unescape(fields[4]);
  if (!root || !type || !key || !name || !data) return std::nullopt;
  return StoredValue{*root, *type, std::move(*key), std::move(*name), std::move(*data)};
}

}  // namespace

std::vector<StoredValue> ParseStoreText(std::string_view text) {
  std::vector<StoredValue> values;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    if (end == std::string_view::npos) break;  // cut before its line feed
    if (auto value = ParseLine(text.substr(start, end - start))) {
      values.push_back(std::move(*value));
    }
    start = end + 1;
  }
  return values;
}

std::string FormatStoreText(const std::vector<StoredValue>& values) {
  std::string out = kHeader;
  for (const auto& value : values) {
    for (int shift = 28; shift >= 0; shift -= 4) out += kHexDigits[(value.root >> shift) & 0x0F];
    out += '\t';
    out += std::to_string(value.type);
    out += '\t';
    AppendEscaped(out, value.key);
    out += '\t';
    AppendEscaped(out, value.name);
    out += '\t';
    AppendEscaped(out, value.data);
    out += '\n';
  }
  return out;
}

}  // namespace quorvel
