#include "server/query.hpp"

#include <algorithm>
#include <cctype>

namespace qserver {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

}  // namespace

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Field(std::string_view fields, std::string_view name, bool* found) {
  while (true) {
    std::size_t amp = fields.find('&');
    std::string_view field = fields.substr(0, amp);
    if (field.size() > name.size() && field.substr(0, name.size()) == name && field[name.size()] == '=') {
      if (found) *found = true;
      return Unescape(field.substr(name.size() + 1));
    }
    if (amp == std::string_view::npos) break;
    fields.remove_prefix(amp + 1);
  }
  if (found) *found = false;
  return "";
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && Lower(a) == Lower(b);
}

std::string MaskedLine(std::string_view method, std::string uri, std::string_view version) {
  // Every ip_key= of the URI: a second one is as much a credential as the first. A quarter of
  // the identifier at most is kept, and never more than four characters.
  constexpr std::string_view kKey = "ip_key=";
  for (std::size_t key = uri.find(kKey); key != std::string::npos; key = uri.find(kKey, key + 1)) {
    const std::size_t from = key + kKey.size();
    std::size_t end = uri.find('&', from);
    if (end == std::string::npos) end = uri.size();
    const std::size_t keep = std::min<std::size_t>(4, (end - from) / 4);
    if (end > from) uri.replace(from + keep, end - from - keep, "***");
  }
  std::string line(method);
  line.append(1, ' ').append(uri).append(1, ' ').append(version);
  return line;
}

}  // namespace qserver
