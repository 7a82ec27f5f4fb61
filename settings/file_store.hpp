// Where the file store lives on systems without the registry, and a seam for its tests.
#pragma once

#include <filesystem>
#include <string>

namespace quorvel {

// $XDG_CONFIG_HOME/quorvel/settings (an absolute XDG_CONFIG_HOME only), else
// $HOME/.config/quorvel/settings; empty when neither is known.
std::filesystem::path SettingsFilePath();

// Called after a write has put the new store, flushed, beside the old one and just before it
// replaces it. Tests use it to stop a write at its most delicate point; null removes it.
void SetBeforeReplaceHook(void (*hook)());

// While one lives, the values read on this thread come from one reading of the file, made at
// the first of them: a set of values read together (under the store's lock) costs one open and
// one parse, not one each. A write on the thread drops the reading.
class StoreSnapshot {
 public:
  StoreSnapshot();
  ~StoreSnapshot();
  StoreSnapshot(const StoreSnapshot&) = delete;
  StoreSnapshot& operator=(const StoreSnapshot&) = delete;
};

// Why the store's last read, write or lock failed, naming the file and the reason; empty after
// one that worked. A store that cannot be read (not a regular file, over the size cap) is left
// untouched, and reads give their defaults.
const std::string& LastStoreError();

}  // namespace quorvel
