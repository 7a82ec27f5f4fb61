// Text helpers shared by every part of the program: trimming as the settings and the
// reply parser need it, and the one place where wide text becomes bytes and back.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// Removes spaces (character 32 only) from both ends; tabs and line ends stay.
std::wstring TrimSpaces(std::wstring_view text);

// Wide text to single bytes in the system's ANSI code page (UTF-8 where there are no
// code pages). Characters the code page lacks become its default character.
std::string ToAnsi(std::wstring_view text);

// Bytes in the ANSI code page (UTF-8 elsewhere) to wide text. Never fails: bytes that do
// not decode become U+FFFD.
std::wstring FromAnsi(std::string_view bytes);

// A whole number as decimal text, as std::to_wstring writes it, without the printf
// machinery that std::to_wstring brings into the program file.
std::wstring DecimalText(long long value);

}  // namespace quorvel
