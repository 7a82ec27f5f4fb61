#include "settings/activation.hpp"

#include "common/text.hpp"
#include "settings/settings.hpp"
#include "settings/store_lock.hpp"

namespace quorvel {
namespace {

using quorvelmod::kHkeyCurrentUser;

bool SaveAutostart(const std::wstring& command) {
  return quorvelmod::SaveRegString(kHkeyCurrentUser, quorvelmod::kRunKey, quorvelmod::kAutostartValue,
                                   command);
}

}  // namespace

std::wstring AutostartCommandFor(const std::wstring& programPath) {
  return L"\"" + programPath + L"\" -wiper";
}

bool StoreActivation(const std::wstring& identifier, std::int32_t intervalSeconds,
                     const std::wstring& autostartCommand) {
  const StoreLock lock(StoreLock::Mode::kExclusive);
  if (!lock.Held()) return false;
  // Each write is tried even when one before failed: what can be stored is.
  bool saved = quorvelmod::SaveRegString(kHkeyCurrentUser, quorvelmod::kSettingsKey,
                                         quorvelmod::kIdentifierValue, TrimSpaces(identifier));
  saved = quorvelmod::SaveRegString(kHkeyCurrentUser, quorvelmod::kSettingsKey, quorvelmod::kIntervalValue,
                                    DecimalText(intervalSeconds)) &&
          saved;
  return SaveAutostart(autostartCommand) && saved;
}

bool StoreDeactivation() {
  const StoreLock lock(StoreLock::Mode::kExclusive);
  return lock.Held() && SaveAutostart(L"");
}

bool StoreUpdateTime(std::int64_t unixSeconds) {
  const StoreLock lock(StoreLock::Mode::kExclusive);
  return lock.Held() && quorvelmod::SaveRegString(kHkeyCurrentUser, quorvelmod::kSettingsKey,
                                                  quorvelmod::kLastUpdateValue, DecimalText(unixSeconds));
}

bool StoreRefusal(const std::wstring& identifier) {
  const StoreLock lock(StoreLock::Mode::kExclusive);
  if (!lock.Held()) return false;
  const std::wstring stored = TrimSpaces(quorvelmod::GetRegString(kHkeyCurrentUser, quorvelmod::kSettingsKey,
                                                                  quorvelmod::kIdentifierValue, L""));
  if (stored != TrimSpaces(identifier)) return true;
  return SaveAutostart(L"");
}

}  // namespace quorvel
