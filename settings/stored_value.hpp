// How a stored value's bytes read back as text. The registry and the file store share it,
// so both keep the same reading rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel {

// Value types, numbered as the registry numbers them.
inline constexpr std::uint32_t kTypeString = 1;        // REG_SZ
inline constexpr std::uint32_t kTypeExpandString = 2;  // REG_EXPAND_SZ
inline constexpr std::uint32_t kTypeBinary = 3;        // REG_BINARY
inline constexpr std::uint32_t kTypeDword = 4;         // REG_DWORD

// A read takes at most this many bytes; a longer value cannot be read.
inline constexpr std::size_t kReadBufferSize = 1024;

// The text of a value from its type and stored bytes:
// - more than kReadBufferSize bytes: defaultValue;
// - a string (expandable or not): the bytes up to the first zero byte, or all of them when
//   none is stored, from the ANSI code page; references are not expanded;
// - a 4-byte number: its value in decimal;
// - anything else: the empty string, not the default.
std::wstring TextFromStoredValue(std::uint32_t type, std::string_view data, const std::wstring& defaultValue);

}  // namespace quorvel
