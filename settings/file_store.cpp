// The settings store as one small file. A write builds the whole new file beside the old
// one, flushes it and renames it over the old one, so a crash leaves either store whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "common/text.hpp"
#include "settings/file_store.hpp"
#include "settings/file_store_format.hpp"
#include "settings/settings.hpp"

namespace quorvel {
namespace {

// The program keeps three short values; anything past this is not a store it wrote.
constexpr std::size_t kMaxStoreBytes = 1 << 20;

void (*g_beforeReplace)() = nullptr;

enum class LoadResult { kLoaded, kMissing, kFailed };

LoadResult LoadStore(const std::filesystem::path& path, std::vector<StoredValue>& values) {
  values.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? LoadResult::kMissing : LoadResult::kFailed;
  std::string text;
  char chunk[4096];
  LoadResult result = LoadResult::kLoaded;
  while (text.size() < kMaxStoreBytes) {
    const ssize_t got = read(fd, chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      result = LoadResult::kFailed;
      break;
    }
    if (got == 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  close(fd);
  if (result == LoadResult::kLoaded) values = ParseStoreText(text);
  return result;
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// Writes the new store beside the old one, flushes it, then renames it over the old one.
bool ReplaceStore(const std::filesystem::path& path, const std::string& text) {
  std::string temp = (path.parent_path() / ".settings-XXXXXX").string();
  const int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text) && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (ok && g_beforeReplace != nullptr) g_beforeReplace();
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable; the store is already whole either way.
  const int dir = open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

// Keys and value names compare as the registry compares them, without regard to case.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

bool Matches(const StoredValue& value, std::uint32_t root, std::string_view key,
             std::string_view name) {
  return value.root == root && SameName(value.key, key) && SameName(value.name, name);
}

}  // namespace

std::filesystem::path SettingsFilePath() {
  std::filesystem::path base;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else if (home != nullptr && home[0] != '\0') {
    base = std::filesystem::path(home) / ".config";
  } else {
    return {};
  }
  return base / "quorvel" / "settings";
}

void SetBeforeReplaceHook(void (*hook)()) { g_beforeReplace = hook; }

}  // namespace quorvel

namespace quorvelmod {

bool SaveRegString(RegRoot root, const std::wstring& subKey, const std::wstring& valueName,
                   const std::wstring& value) {
  const auto path = quorvel::SettingsFilePath();
  if (path.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) return false;

  std::vector<quorvel::StoredValue> values;
  // An unreadable store is left alone rather than replaced by one that lost its values.
  if (quorvel::LoadStore(path, values) == quorvel::LoadResult::kFailed) return false;

  const std::string key = quorvel::ToAnsi(subKey);
  const std::string name = quorvel::ToAnsi(valueName);
  std::erase_if(values, [&](const quorvel::StoredValue& stored) {
    return quorvel::Matches(stored, root, key, name);
  });
  // As in the registry: the inactive state is one space, strings keep their terminating zero.
  std::string data = quorvel::ToAnsi(value.empty() ? std::wstring(L" ") : value);
  data += '\0';
  values.push_back({root, quorvel::kTypeString, key, name, std::move(data)});
  return quorvel::ReplaceStore(path, quorvel::FormatStoreText(values));
}

std::wstring GetRegString(RegRoot root, const std::wstring& subKey, const std::wstring& valueName,
                          const std::wstring& defaultValue) {
  const auto path = quorvel::SettingsFilePath();
  if (path.empty()) return defaultValue;
  std::vector<quorvel::StoredValue> values;
  if (quorvel::LoadStore(path, values) != quorvel::LoadResult::kLoaded) return defaultValue;
  const std::string key = quorvel::ToAnsi(subKey);
  const std::string name = quorvel::ToAnsi(valueName);
  for (auto it = values.rbegin(); it != values.rend(); ++it) {
    if (quorvel::Matches(*it, root, key, name)) {
      return quorvel::TextFromStoredValue(it->type, it->data, defaultValue);
    }
  }
  return defaultValue;
}

}  // namespace quorvelmod
