// What makes an identifier usable: the rule both programs apply before storing or sending one.
#pragma once

#include <string_view>

namespace quorvel {

enum class IdentifierProblem {
  kNone,
  kBlank,             // nothing but spaces
  kControlCharacter,  // a character below 0x20, or 0x7F: it would split the request's lines
  kTooLong,           // longer than the store can read back
};

IdentifierProblem CheckIdentifier(std::wstring_view text);

bool HasControlCharacter(std::wstring_view text);

}  // namespace quorvel
