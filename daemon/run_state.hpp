// What the daemon keeps besides the settings: the lock that lets one `run` use a settings folder,
// and the last update's time and outcome ($XDG_STATE_HOME/quorvel/last-update), for `status`.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

#include "common/unique_handle.hpp"

namespace quorvel {

// Held by `run` for as long as it runs: a lock on run.lock in the settings folder.
class InstanceLock {
 public:
  InstanceLock() = default;
  // False if another process holds it; its pid is then in `holder`.
  bool Take(const std::filesystem::path& folder, pid_t& holder);

 private:
  UniqueFd file_;
};

// The pid of the `run` using the settings folder, or 0.
pid_t RunningInstance(const std::filesystem::path& folder);

// $XDG_STATE_HOME/quorvel (an absolute XDG_STATE_HOME only), else $HOME/.local/state/quorvel.
std::filesystem::path StateFolder();

// One line: "YYYY-MM-DD hh:mm:ss WORD[ reason]", the local time of the update's end. Errors are
// ignored: the state is a convenience of `status`, never a reason to stop.
void SaveLastUpdate(const std::string& word, const std::string& reason);
std::string LastUpdateLine();

}  // namespace quorvel
