#include "common/text.hpp"

namespace quorvel {

std::wstring TrimSpaces(std::wstring_view text) {
  const auto first = text.find_first_not_of(L' ');
  if (first == std::wstring_view::npos) return {};
  const auto last = text.find_last_not_of(L' ');
  return std::wstring(text.substr(first, last - first + 1));
}

std::wstring DecimalText(long long value) {
  wchar_t digits[24];
  wchar_t* const end = digits + sizeof digits / sizeof digits[0];
  wchar_t* first = end;
  // In unsigned arithmetic the smallest value has a magnitude too.
  unsigned long long magnitude =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  do {
    *--first = static_cast<wchar_t>(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--first = L'-';
  return std::wstring(first, end);
}

}  // namespace quorvel
