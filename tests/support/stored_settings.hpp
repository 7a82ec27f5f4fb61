// The program's stored settings in the registry, as the Windows tests set, read and remove
// them. Every test program shares the prefix's registry, so the settings are removed before
// and after each test, and only in a Wine prefix that the test script has marked as
// throwaway: never in a user's own registry.
#pragma once

#include <windows.h>

#include <string>

namespace quorvel_test {

inline constexpr wchar_t kAbsent[] = L"<absent>";
inline constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\Quorvel";
inline constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// True in a Wine prefix that scripts/windows-tests.sh made and marked (a file
// quorvel-test-prefix in the prefix).
bool InThrowawayPrefix();
// Removes the program's key and its autostart value; outside a marked prefix it removes
// nothing and says so: false, or for ClearStoredSettings a failure of the running test.
bool RemoveStoredSettings();
void ClearStoredSettings();

void StoreValue(const std::wstring& key, const std::wstring& name, const std::wstring& value);
// A value of any type and bytes, as a hand-edited registry may hold it (its name in ANSI).
// The system reads past `size` when the value's type wants a zero there and finds one.
void StoreRaw(const std::wstring& key, const std::string& name, DWORD type, const void* data, DWORD size);
inline void StoreRaw(const std::wstring& key, const std::string& name, DWORD type, const std::string& bytes) {
  StoreRaw(key, name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}
// The stored string value, or kAbsent when it does not exist.
std::wstring StoredValue(const std::wstring& key, const std::wstring& name);

// Leaves a key with an access list that grants reading only, to everyone.
void MakeKeyReadOnly(const std::wstring& key);
// Gives the key back an access list that lets it be written and removed.
void OpenKeyAgain(const std::wstring& key);

}  // namespace quorvel_test
