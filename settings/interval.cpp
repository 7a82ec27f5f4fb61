#include "settings/interval.hpp"

namespace quorvel {

// An optional sign and decimal digits only, within 32 bits.
bool ParseStoredSeconds(const std::wstring& text, std::int32_t& seconds) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  if (i == text.size()) return false;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    value = value * 10 + (text[i] - L'0');
    if (value > std::int64_t{INT32_MAX} + 1) return false;
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return false;
  seconds = static_cast<std::int32_t>(value);
  return true;
}

// seconds / 60 - 1, rounded to the nearest whole number, halves to the even neighbour.
int RowForStoredSeconds(std::int32_t seconds) {
  const std::int64_t offset = std::int64_t{seconds} - 60;
  std::int64_t whole = offset / 60;
  std::int64_t rest = offset % 60;
  if (rest < 0) {  // floor division
    rest += 60;
    --whole;
  }
  if (rest > 30 || (rest == 30 && whole % 2 != 0)) ++whole;
  return static_cast<int>(whole);  // within ±36 million: an int holds it
}

}  // namespace quorvel
