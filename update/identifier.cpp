#include "update/identifier.hpp"

#include <algorithm>

#include "common/text.hpp"
#include "settings/stored_value.hpp"

namespace quorvel {

bool HasControlCharacter(std::wstring_view text) {
  return std::any_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; });
}

IdentifierProblem CheckIdentifier(std::wstring_view text) {
  const std::wstring trimmed = TrimSpaces(text);
  if (trimmed.empty()) return IdentifierProblem::kBlank;
  if (HasControlCharacter(trimmed)) return IdentifierProblem::kControlCharacter;
  // Stored as a string with its terminating zero; a read takes at most kReadBufferSize bytes.
  if (ToAnsi(trimmed).size() + 1 > kReadBufferSize) return IdentifierProblem::kTooLong;
  return IdentifierProblem::kNone;
}

}  // namespace quorvel
