// Each settings test starts and ends with an empty store: natively a fresh configuration
// folder of its own, with HOME and XDG_CONFIG_HOME put back afterwards whatever the test did;
// under Wine the program's key and autostart value removed, since every test program shares
// the prefix's registry, and only in the throwaway prefix the test script marks.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "settings/settings.hpp"

#ifdef _WIN32
#include "support/stored_settings.hpp"
#else
#include <stdlib.h>

#include <filesystem>
#endif

class SettingsStoreTest : public ::testing::Test {
 protected:
  static constexpr quorvelmod::RegRoot kRoot = quorvelmod::kHkeyCurrentUser;

#ifdef _WIN32
  void SetUp() override {
    ASSERT_TRUE(quorvel_test::InThrowawayPrefix())
        << "these tests remove HKCU\\Software\\Quorvel: run them through scripts/windows-tests.sh";
    quorvel_test::ClearStoredSettings();
  }
  void TearDown() override {
    if (quorvel_test::InThrowawayPrefix()) quorvel_test::ClearStoredSettings();
  }
#else
  void SetUp() override {
    home_ = Saved("HOME");
    configHomeVariable_ = Saved("XDG_CONFIG_HOME");
    std::string dir = (std::filesystem::temp_directory_path() / "quorvel-settings-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    configHome_ = dir;
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", dir.c_str(), 1), 0);
  }
  void TearDown() override {
    Restore("HOME", home_);
    Restore("XDG_CONFIG_HOME", configHomeVariable_);
    std::error_code ignored;
    std::filesystem::remove_all(configHome_, ignored);
  }
  std::filesystem::path configHome_;

 private:
  static std::optional<std::string> Saved(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
  }
  static void Restore(const char* name, const std::optional<std::string>& value) {
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  std::optional<std::string> home_;
  std::optional<std::string> configHomeVariable_;
#endif
};
