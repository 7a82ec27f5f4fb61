// The settings store over the current user's registry, through advapi32's ANSI functions.
#include <windows.h>

#include <string>

#include "common/text.hpp"
#include "common/unique_handle.hpp"
#include "settings/settings.hpp"
#include "settings/store_lock.hpp"
#include "settings/stored_value.hpp"

namespace quorvelmod {
namespace {

// Read control plus query, set, create subkey, enumerate, notify and create link: asked for
// reading too, so a key that only grants reading reads as missing.
constexpr REGSAM kKeyAccess = 0x2003F;

struct RegKeyTraits {
  using Handle = HKEY;
  static HKEY Empty() { return nullptr; }
  static void Close(HKEY key) { (void)RegCloseKey(key); }
};
// Owns one open key; closes it once, whatever path the caller leaves by.
using RegKey = quorvel::UniqueHandle<RegKeyTraits>;

// Predefined roots are 32-bit values that the system sign-extends to a handle.
HKEY RootKey(RegRoot root) { return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root))); }

}  // namespace

bool SaveRegString(RegRoot root, const std::wstring& subKey, const std::wstring& valueName,
                   const std::wstring& value) {
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = TRUE;
  char keyClass[] = "1";
  RegKey key;
  DWORD disposition = 0;
  const std::string subKeyAnsi = quorvel::ToAnsi(subKey);
  if (RegCreateKeyExA(RootKey(root), subKeyAnsi.c_str(), 0, keyClass, REG_OPTION_NON_VOLATILE, kKeyAccess,
                      &security, key.put(), &disposition) != ERROR_SUCCESS) {
    return false;
  }

  // The inactive state is one space, never an empty value.
  const std::string data = quorvel::ToAnsi(value.empty() ? std::wstring(L" ") : value);
  const std::string nameAnsi = quorvel::ToAnsi(valueName);
  // Stored with its terminating zero, as string values should be.
  const DWORD size = static_cast<DWORD>(data.size() + 1);
  return RegSetValueExA(key.get(), nameAnsi.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                        size) == ERROR_SUCCESS;
}

std::wstring GetRegString(RegRoot root, const std::wstring& subKey, const std::wstring& valueName,
                          const std::wstring& defaultValue) {
  RegKey key;
  const std::string subKeyAnsi = quorvel::ToAnsi(subKey);
  if (RegOpenKeyExA(RootKey(root), subKeyAnsi.c_str(), 0, kKeyAccess, key.put()) != ERROR_SUCCESS) {
    return defaultValue;
  }

  char buffer[quorvel::kReadBufferSize] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof(buffer);
  const std::string nameAnsi = quorvel::ToAnsi(valueName);
  // A value larger than the buffer fails here and reads as the default.
  if (RegQueryValueExA(key.get(), nameAnsi.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      size > sizeof(buffer)) {
    return defaultValue;
  }
  return quorvel::TextFromStoredValue(type, std::string_view(buffer, size), defaultValue);
}

}  // namespace quorvelmod

namespace quorvel {

// The registry keeps each value whole by itself; the Windows program needs no lock of its own.
StoreLock::StoreLock(Mode) : held_(true) {}

int StoreLockWaitMs() { return 0; }
void SetStoreLockWaitMs(int) {}

}  // namespace quorvel
