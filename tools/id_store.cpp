#include "tools/id_store.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace refserver {

namespace {

bool IsSafeChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '_';
}

// Writes all of text to fd, through short writes and interruptions.
bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool IsSafeIdentifier(std::string_view id) {
  if (id.empty() || id.size() > kMaxIdentifierLength) return false;
  for (char c : id) {
    if (!IsSafeChar(c)) return false;
  }
  return true;
}

bool IdStore::Load() {
  std::ifstream in(path_);
  if (!in) {
    entries_.clear();
    return errno == ENOENT;
  }
  std::map<std::string, LastUpdate> entries;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id;
    LastUpdate last;
    std::getline(fields, id, '\t');
    std::getline(fields, last.address, '\t');
    std::getline(fields, last.time, '\t');
    if (IsSafeIdentifier(id)) entries[id] = last;
  }
  if (in.bad()) return false;
  entries_ = std::move(entries);
  return true;
}

IdStore::~IdStore() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

bool IdStore::Lock() {
  // O_NOFOLLOW: a link planted under the lock file's name is refused, not followed.
  const std::string name = path_ + ".lock";
  int fd = ::open(name.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    ::close(fd);
    errno = error;
    return false;
  }
  lockFd_ = fd;
  return true;
}

bool IdStore::Add(const std::string& id) {
  if (!IsSafeIdentifier(id)) return false;
  if (Contains(id)) return true;
  auto entries = entries_;
  entries[id] = LastUpdate{};
  if (!Save(entries)) return false;
  entries_ = std::move(entries);
  return true;
}

bool IdStore::RecordUpdate(const std::string& id, const std::string& address,
                           const std::string& time) {
  auto found = entries_.find(id);
  if (found == entries_.end()) return false;
  if (found->second.address == address) return true;
  auto entries = entries_;
  entries[id] = LastUpdate{address, time};
  if (!Save(entries)) return false;
  entries_ = std::move(entries);
  return true;
}

std::string IdStore::CreateIdentifier() {
  static constexpr char kAlphabet[] = "abcdefghijkmnpqrstuvwxyz23456789";
  std::random_device random;
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  std::string id;
  do {
    id.clear();
    for (int i = 0; i < 10; ++i) id += kAlphabet[pick(random)];
  } while (Contains(id));
  return Add(id) ? id : std::string();
}

// A crash or a full disk leaves either the old file or the new one, never half of one:
// write a new file of a name no one else can have chosen (mkostemp) beside it, with the old
// file's permissions (0600 for a new store: the identifiers are secrets), flush it to disk,
// rename it over the old one, then flush the folder so that the rename lasts too.
bool IdStore::Save(const std::map<std::string, LastUpdate>& entries) const {
  std::string text;
  for (const auto& [id, last] : entries) {
    text += id;
    if (!last.address.empty() || !last.time.empty()) text += '\t' + last.address + '\t' + last.time;
    text += '\n';
  }
  const std::filesystem::path path(path_);
  std::filesystem::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  std::string name = path.filename().string();
  name.insert(0, 1, '.');
  name += "-XXXXXX";
  std::string temp = (folder / name).string();
  mode_t mode = 0600;
  struct stat existing {};
  if (::stat(path_.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(temp.c_str(), path_.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace refserver
