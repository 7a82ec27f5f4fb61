// The program's stored values and the two functions that read and write them.
// On Windows they live in the current user's registry; elsewhere in one small file with
// the same keys, names, texts and the " " convention for the inactive state.
#pragma once

#include <cstdint>
#include <string>

namespace quorvelmod {

// A registry root by its handle value, kept 32-bit as the callers know it.
using RegRoot = std::uint32_t;
inline constexpr RegRoot kHkeyCurrentUser = 0x80000001u;

inline constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\Quorvel";
inline constexpr wchar_t kIdentifierValue[] = L"identifiant";
inline constexpr wchar_t kIntervalValue[] = L"timeupdate";
// Optional: the update server a user chose, "host[:port]" or "http://host[:port]/" (written by
// the installer).
inline constexpr wchar_t kServerValue[] = L"serveur";
// Written by the window when an update begins: seconds since 1970 (UTC), in decimal. A start
// reads it so that its early update keeps a minute after the previous run's last one.
inline constexpr wchar_t kLastUpdateValue[] = L"derniereMiseAJour";
inline constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kAutostartValue[] = L"quorvel";

// Writes a string value, creating the key if needed. The empty string is stored as " ".
// Returns whether the value was written.
bool SaveRegString(RegRoot root, const std::wstring& subKey, const std::wstring& valueName,
                   const std::wstring& value);

// Reads a string value, or defaultValue when the key or the value cannot be read.
std::wstring GetRegString(RegRoot root, const std::wstring& subKey, const std::wstring& valueName,
                          const std::wstring& defaultValue);

}  // namespace quorvelmod
