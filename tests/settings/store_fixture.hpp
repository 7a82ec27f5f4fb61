// Each settings test starts and ends with an empty store: natively a fresh configuration
// folder of its own; under Wine the program's key and autostart value removed, since every
// test program shares the prefix's registry.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "settings/settings.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <stdlib.h>

#include <filesystem>
#endif

class SettingsStoreTest : public ::testing::Test {
 protected:
  static constexpr quorvelmod::RegRoot kRoot = quorvelmod::kHkeyCurrentUser;

  void SetUp() override { ClearStore(); }
  void TearDown() override {
#ifdef _WIN32
    ClearStore();
#else
    std::error_code ignored;
    std::filesystem::remove_all(configHome_, ignored);
#endif
  }

#ifdef _WIN32
  static void ClearStore() {
    RegDeleteTreeW(HKEY_CURRENT_USER, quorvelmod::kSettingsKey);
    HKEY run = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, quorvelmod::kRunKey, 0, KEY_SET_VALUE, &run) ==
        ERROR_SUCCESS) {
      RegDeleteValueW(run, quorvelmod::kAutostartValue);
      RegCloseKey(run);
    }
  }
#else
  void ClearStore() {
    std::string dir = (std::filesystem::temp_directory_path() / "quorvel-settings-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    configHome_ = dir;
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", dir.c_str(), 1), 0);
  }
  std::filesystem::path configHome_;
#endif
};
