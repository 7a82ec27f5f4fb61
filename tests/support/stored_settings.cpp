#include "stored_settings.hpp"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/window_text.hpp"  // WindowsPath

namespace quorvel_test {

bool InThrowawayPrefix() {
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix == nullptr || *prefix == '\0') return false;
  const std::wstring marker = WindowsPath(std::string(prefix) + "/quorvel-test-prefix");
  return GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveStoredSettings() {
  if (!InThrowawayPrefix()) return false;
  RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"quorvel");
  return true;
}

void ClearStoredSettings() {
  if (!RemoveStoredSettings()) {
    ADD_FAILURE() << "not in a throwaway Wine prefix: the program's settings were left alone. "
                     "Run the tests through scripts/windows-tests.sh (it marks its prefix with "
                     "a file quorvel-test-prefix).";
  }
}

void StoreValue(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
  RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), REG_SZ, value.c_str(),
                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void StoreRaw(const std::wstring& key, const std::string& name, DWORD type, const void* data, DWORD size) {
  HKEY handle = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle,
                            nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(handle, name.c_str(), 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
  RegCloseKey(handle);
}

std::wstring StoredValue(const std::wstring& key, const std::wstring& name) {
  wchar_t buffer[1024];
  DWORD size = sizeof buffer;
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS) {
    return kAbsent;
  }
  return buffer;
}

void MakeKeyReadOnly(const std::wstring& keyName) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, keyName.c_str(), 0, WRITE_DAC, &key), ERROR_SUCCESS);
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = KEY_READ;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = NO_INHERITANCE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  wchar_t everyone[] = L"EVERYONE";
  access.Trustee.ptstrName = everyone;
  PACL acl = nullptr;
  ASSERT_EQ(SetEntriesInAclW(1, &access, nullptr, &acl), ERROR_SUCCESS);
  EXPECT_EQ(
      SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, acl, nullptr),
      ERROR_SUCCESS);
  LocalFree(acl);
  RegCloseKey(key);
}

void OpenKeyAgain(const std::wstring& keyName) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, keyName.c_str(), 0, WRITE_DAC, &key) != ERROR_SUCCESS) return;
  SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
}

}  // namespace quorvel_test
