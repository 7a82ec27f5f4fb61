#include "window/command_line.hpp"

namespace quorvel {

std::wstring CommandLineTail(std::wstring_view line) {
  size_t i = 0;
  if (i < line.size() && line[i] == L'"') {
    ++i;
    while (i < line.size() && line[i] != L'"') ++i;
    if (i < line.size()) ++i;  // the closing quote
  }
  while (i < line.size() && line[i] != L' ' && line[i] != L'\t') ++i;
  while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
  return std::wstring(line.substr(i));
}

}  // namespace quorvel
