// Where the file store lives on systems without the registry, and a seam for its tests.
#pragma once

#include <filesystem>

namespace quorvel {

// $XDG_CONFIG_HOME/quorvel/settings (an absolute XDG_CONFIG_HOME only), else
// $HOME/.config/quorvel/settings; empty when neither is known.
std::filesystem::path SettingsFilePath();

// Called after a write has put the new store, flushed, beside the old one and just before it
// replaces it. Tests use it to stop a write at its most delicate point; null removes it.
void SetBeforeReplaceHook(void (*hook)());

}  // namespace quorvel
