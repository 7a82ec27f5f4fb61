// The settings store as one small file. A write builds the whole new file beside the old
// one, flushes it and renames it over the old one, so a crash leaves either store whole.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "common/text.hpp"
#include "common/unique_handle.hpp"
#include "settings/file_store.hpp"
#include "settings/file_store_format.hpp"
#include "settings/settings.hpp"
#include "settings/store_lock.hpp"

namespace quorvel {
namespace {

// The program keeps three short values; anything past this is not a store it wrote.
constexpr std::size_t kMaxStoreBytes = 1 << 20;

void (*g_beforeReplace)() = nullptr;
int g_lockWaitMs = 5000;
// Why the last read or write of the store failed; empty after one that worked.
std::string g_error;

enum class LoadResult { kLoaded, kMissing, kFailed };

bool Fail(const std::string& why) {
  g_error = why;
  return false;
}

std::string Reason(const std::filesystem::path& path, int error) {
  return path.string() + ": " + std::strerror(error);
}

// Only a regular file within the cap is a store: a FIFO would hang the reader, a device or a
// folder is not ours, and a longer file would be cut, then written back without its values.
LoadResult LoadStore(const std::filesystem::path& path, std::vector<StoredValue>& values) {
  values.clear();
  g_error.clear();
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return LoadResult::kMissing;
    Fail(Reason(path, errno));
    return LoadResult::kFailed;
  }
  struct stat facts {};
  if (fstat(fd.get(), &facts) != 0) {
    Fail(Reason(path, errno));
    return LoadResult::kFailed;
  }
  if (!S_ISREG(facts.st_mode)) {
    Fail(path.string() + ": not a regular file; left as it is");
    return LoadResult::kFailed;
  }
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(fd.get(), chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      Fail(Reason(path, errno));
      return LoadResult::kFailed;
    }
    if (got == 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
    if (text.size() > kMaxStoreBytes) {
      Fail(path.string() + ": larger than " + std::to_string(kMaxStoreBytes) + " bytes; left as it is");
      return LoadResult::kFailed;
    }
  }
  values = ParseStoreText(text);
  return LoadResult::kLoaded;
}

// The reading a StoreSnapshot keeps, per thread.
struct Snapshot {
  int holders = 0;
  bool taken = false;
  std::filesystem::path path;
  LoadResult result = LoadResult::kMissing;
  std::vector<StoredValue> values;
  std::string error;
};
thread_local Snapshot t_snapshot;

// LoadStore, or the snapshot's reading of the same file while one is held.
LoadResult ReadStore(const std::filesystem::path& path, std::vector<StoredValue>& values) {
  Snapshot& snapshot = t_snapshot;
  if (snapshot.holders == 0) return LoadStore(path, values);
  if (!snapshot.taken || snapshot.path != path) {
    snapshot.result = LoadStore(path, snapshot.values);
    snapshot.path = path;
    snapshot.error = g_error;
    snapshot.taken = true;
  }
  g_error = snapshot.error;
  values = snapshot.values;
  return snapshot.result;
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    if (put == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// Writes the new store beside the old one, flushes it, then renames it over the old one.
bool ReplaceStore(const std::filesystem::path& path, const std::string& text) {
  std::string temp = (path.parent_path() / ".settings-XXXXXX").string();
  const int fd = mkstemp(temp.data());
  if (fd < 0) return Fail(Reason(path.parent_path(), errno));
  // Written by root into a folder of another user (a system service's), the store stays that
  // user's, or the service could no longer read it.
  struct stat folder {};
  if (geteuid() == 0 && stat(path.parent_path().c_str(), &folder) == 0 && folder.st_uid != 0) {
    if (fchown(fd, folder.st_uid, folder.st_gid) != 0) {
      // Left root's: the service then says it cannot read the store.
    }
  }
  bool ok = WriteAll(fd, text) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && g_beforeReplace != nullptr) g_beforeReplace();
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    return Fail(Reason(path, error));
  }
  // Make the rename itself durable; the store is already whole either way.
  const int dir = open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  g_error.clear();
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

bool Matches(const StoredValue& value, std::uint32_t root, std::string_view key, std::string_view name) {
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

const std::string& LastStoreError() { return g_error; }

StoreSnapshot::StoreSnapshot() { ++t_snapshot.holders; }

StoreSnapshot::~StoreSnapshot() {
  if (--t_snapshot.holders == 0) {
    t_snapshot.taken = false;
    t_snapshot.values.clear();
  }
}

int StoreLockWaitMs() { return g_lockWaitMs; }
void SetStoreLockWaitMs(int milliseconds) { g_lockWaitMs = milliseconds; }

StoreLock::StoreLock(Mode mode) {
  const auto store = SettingsFilePath();
  if (store.empty()) {
    Fail("no settings folder: neither XDG_CONFIG_HOME nor HOME is set");
    return;
  }
  std::error_code error;
  std::filesystem::create_directories(store.parent_path(), error);
  folder_.reset(open(store.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder_) {
    Fail(Reason(store.parent_path(), errno));
    return;
  }
  const int operation = (mode == Mode::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  const timespec pause{0, 10 * 1000 * 1000};
  for (int waited = 0;; waited += 10) {
    if (flock(folder_.get(), operation) == 0) {
      held_ = true;
      return;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      // A file system without locks: the store is still used, as it was before locks.
      held_ = true;
      return;
    }
    if (waited >= g_lockWaitMs) break;
    nanosleep(&pause, nullptr);
  }
  folder_.reset();
  Fail(store.parent_path().string() + ": another quorveld holds the settings' lock; try again");
}

}  // namespace quorvel

namespace quorvelmod {

bool SaveRegString(RegRoot root, const std::wstring& subKey, const std::wstring& valueName,
                   const std::wstring& value) {
  const auto path = quorvel::SettingsFilePath();
  if (path.empty()) return quorvel::Fail("no settings folder: neither XDG_CONFIG_HOME nor HOME is set");
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) return quorvel::Fail(path.parent_path().string() + ": " + error.message());

  std::vector<quorvel::StoredValue> values;
  quorvel::t_snapshot.taken = false;  // what follows reads the file as this write leaves it
  // An unreadable store is left alone rather than replaced by one that lost its values.
  if (quorvel::LoadStore(path, values) == quorvel::LoadResult::kFailed) return false;

  const std::string key = quorvel::ToAnsi(subKey);
  const std::string name = quorvel::ToAnsi(valueName);
  std::erase_if(
      values, [&](const quorvel::StoredValue& stored) { return quorvel::Matches(stored, root, key, name); });
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
  if (quorvel::ReadStore(path, values) != quorvel::LoadResult::kLoaded) return defaultValue;
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
