#include "tools/id_store.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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

const LastUpdate* IdStore::Find(const std::string& id) const {
  auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : &it->second;
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
  if (!Contains(id)) return false;
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
// write a temporary file beside it, flush it to disk, then rename it over the old one.
bool IdStore::Save(const std::map<std::string, LastUpdate>& entries) const {
  std::string text;
  for (const auto& [id, last] : entries) {
    text += id;
    if (!last.address.empty() || !last.time.empty()) text += '\t' + last.address + '\t' + last.time;
    text += '\n';
  }
  const std::string temp = path_ + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temp.c_str(), path_.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

}  // namespace refserver
