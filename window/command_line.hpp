// The program's own command line, as the logon start passes it.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// What follows the program's name on a full command line: the name (quoted or not) and the
// blanks after it are skipped; the rest is returned unchanged, trailing blanks and case included.
std::wstring CommandLineTail(std::wstring_view fullCommandLine);

}  // namespace quorvel
