#include "daemon/run_state.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>  // renameat2
#include <cstdlib>
#include <ctime>
#include <string>
#include <system_error>

namespace quorvel {

namespace {

flock WholeFile(short type) {
  flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;
}

}  // namespace

bool InstanceLock::Take(const std::filesystem::path& folder, pid_t& holder) {
  holder = 0;
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  file_.reset(open((folder / "run.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!file_) return true;  // no lock to take: run all the same, as before locks
  flock lock = WholeFile(F_WRLCK);
  if (fcntl(file_.get(), F_SETLK, &lock) == 0) return true;
  holder = RunningInstance(folder);
  file_.reset();
  return holder == 0;
}

pid_t RunningInstance(const std::filesystem::path& folder) {
  const UniqueFd file(open((folder / "run.lock").c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return 0;
  flock lock = WholeFile(F_WRLCK);
  if (fcntl(file.get(), F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) return 0;
  return lock.l_pid;
}

std::filesystem::path StateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (state != nullptr && state[0] == '/') return std::filesystem::path(state) / "quorvel";
  if (home != nullptr && home[0] != '\0') return std::filesystem::path(home) / ".local/state/quorvel";
  return {};
}

void SaveLastUpdate(const std::string& word, const std::string& reason) {
  const auto folder = StateFolder();
  if (folder.empty()) return;
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  // One bounded line: a reason of absurd length is cut, never a reason to write more.
  char line[512];
  const int length = std::snprintf(line, sizeof line, "%s %s%s%.400s\n", stamp, word.c_str(),
                                   reason.empty() ? "" : " ", reason.c_str());
  if (length <= 0) return;
  const size_t size = std::min(static_cast<size_t>(length), sizeof line - 1);
  // Written into the spare file beside it, then the two swapped: `status` never reads half a
  // line. The spare is the record before, rewritten in place: no file is made and none renamed
  // over another at each update, which ext4 answers with a flush (a third of a one-shot
  // update's time). Where the file system cannot swap (or at the first record), renamed over.
  const auto spare = folder / ".last-update.new";
  const auto record = folder / "last-update";
  {
    const UniqueFd out(open(spare.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!out || pwrite(out.get(), line, size, 0) != static_cast<ssize_t>(size) ||
        ftruncate(out.get(), static_cast<off_t>(size)) != 0)
      return;
  }
  if (renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, record.c_str(), RENAME_EXCHANGE) != 0)
    std::filesystem::rename(spare, record, ignored);
}

std::string LastUpdateLine() {
  const auto folder = StateFolder();
  if (folder.empty()) return {};
  const UniqueFd in(open((folder / "last-update").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!in) return {};
  char buffer[512];
  const ssize_t got = read(in.get(), buffer, sizeof buffer);
  if (got <= 0) return {};
  std::string line(buffer, static_cast<size_t>(got));
  return line.substr(0, line.find('\n'));
}

}  // namespace quorvel
