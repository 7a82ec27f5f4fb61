// The file store where there is no registry: where it lives, its text, and what survives a
// crash in the middle of a write or a damaged file.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "settings/file_store.hpp"
#include "settings/file_store_format.hpp"
#include "settings/settings.hpp"
#include "settings/startup_settings.hpp"
#include "settings/stored_value.hpp"
#include "store_fixture.hpp"

using quorvel::FormatStoreText;
using quorvel::ParseStoreText;
using quorvel::StoredValue;
using quorvelmod::GetRegString;
using quorvelmod::SaveRegString;

namespace {

const std::wstring kKey = quorvelmod::kSettingsKey;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::vector<std::filesystem::path> TempFilesBeside(const std::filesystem::path& store) {
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator(store.parent_path())) {
    if (entry.path() != store) found.push_back(entry.path());
  }
  return found;
}

}  // namespace

TEST_F(SettingsStoreTest, StoreLivesInTheUserConfigurationFolder) {
  EXPECT_EQ(quorvel::SettingsFilePath(), configHome_ / "quorvel" / "settings");
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"abc"));
  EXPECT_TRUE(std::filesystem::is_regular_file(configHome_ / "quorvel" / "settings"));
  EXPECT_TRUE(TempFilesBeside(quorvel::SettingsFilePath()).empty());

  // Without an absolute XDG_CONFIG_HOME the folder is ~/.config (the fixture puts HOME back).
  const std::string home = (configHome_ / "home").string();
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", "relative/folder", 1);
  EXPECT_EQ(quorvel::SettingsFilePath(), configHome_ / "home" / ".config" / "quorvel" / "settings");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(quorvel::SettingsFilePath(), configHome_ / "home" / ".config" / "quorvel" / "settings");
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"default"), L"default");
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"home"));
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), L"home");

  // With neither, there is no store: reads give the default, writes fail.
  unsetenv("HOME");
  EXPECT_TRUE(quorvel::SettingsFilePath().empty());
  EXPECT_FALSE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"x"));
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"default"), L"default");
}

TEST_F(SettingsStoreTest, WriteInterruptedBeforeItsRenameLeavesThePreviousStore) {
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"old"));
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIntervalValue, L"600"));
  const auto store = quorvel::SettingsFilePath();
  const std::string before = ReadFile(store);

  // A child process dies at the last moment of its write: new store flushed, not yet renamed.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    quorvel::SetBeforeReplaceHook([] { _exit(42); });
    SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"new");
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 42) << "the write never reached its rename";

  EXPECT_EQ(ReadFile(store), before);
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), L"old");
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIntervalValue, L""), L"600");
  const auto leftovers = TempFilesBeside(store);
  ASSERT_EQ(leftovers.size(), 1u);
  EXPECT_NE(ReadFile(leftovers[0]).find("new"), std::string::npos);

  // A half-written file left beside the store is ignored too, and later writes go on.
  WriteFile(store.parent_path() / ".settings-partial", "80000001\t1\tSOFTWARE\\Quorvel\tident");
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"newer"));
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), L"newer");
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIntervalValue, L""), L"600");
}

TEST_F(SettingsStoreTest, DamagedStoreReadsAsDefaultsForWhatItCannotParse) {
  ASSERT_TRUE(SaveRegString(kRoot, quorvelmod::kRunKey, quorvelmod::kAutostartValue, L"/opt/q -wiper"));
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"identifier\r\n"));
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIntervalValue, L"1800"));
  const auto store = quorvel::SettingsFilePath();
  const std::string whole = ReadFile(store);

  struct Expected {
    const wchar_t* key;
    const wchar_t* name;
    const wchar_t* text;
  };
  const Expected values[] = {{quorvelmod::kRunKey, quorvelmod::kAutostartValue, L"/opt/q -wiper"},
                             {quorvelmod::kSettingsKey, quorvelmod::kIdentifierValue, L"identifier\r\n"},
                             {quorvelmod::kSettingsKey, quorvelmod::kIntervalValue, L"1800"}};
  // Cut anywhere, every value reads whole or as the default, never as a piece of itself.
  for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
    WriteFile(store, whole.substr(0, cut));
    int whole_values = 0;
    for (const auto& value : values) {
      const std::wstring text = GetRegString(kRoot, value.key, value.name, L"default");
      EXPECT_TRUE(text == value.text || text == L"default") << "cut at " << cut;
      whole_values += text == value.text;
    }
    EXPECT_EQ(whole_values == 3, cut == whole.size()) << "cut at " << cut;
  }

  // Bytes of any kind read as defaults; the next write starts a sound store again.
  std::string noise;
  std::uint32_t state = 12345;
  for (int i = 0; i < 65536; ++i) {
    state = state * 1103515245u + 12345u;
    noise += static_cast<char>(state >> 24);
  }
  WriteFile(store, noise);
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"default"), L"default");
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"again"));
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), L"again");

  // A store that cannot be read at all is not overwritten.
  std::filesystem::remove(store);
  std::filesystem::create_directory(store);
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"default"), L"default");
  EXPECT_FALSE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"x"));
  EXPECT_TRUE(std::filesystem::is_directory(store));
}

TEST_F(SettingsStoreTest, StoredTypesReadAsTheRegistryReadsThem) {
  const std::uint32_t root = quorvelmod::kHkeyCurrentUser;
  const std::string key = "SOFTWARE\\Quorvel";
  std::vector<StoredValue> values = {
      {root, quorvel::kTypeBinary, key, "binary", std::string("AB\0C", 4)},
      {root, quorvel::kTypeDword, key, "number", std::string("\x84\x03\x00\x00", 4)},
      {root, quorvel::kTypeDword, key, "biggest", std::string("\xFF\xFF\xFF\xFF", 4)},
      {root, quorvel::kTypeDword, key, "short", std::string("\x84\x03\x00", 3)},
      {root, quorvel::kTypeDword, key, "long", std::string("\x84\x03\x00\x00\x00", 5)},
      {root, quorvel::kTypeExpandString, key, "expand", std::string("%HOME%/q\0", 9)},
      {root, 7, key, "multi", std::string("one\0two\0\0", 9)},
      {root, quorvel::kTypeString, key, "nozero", "abc"},
      {root, quorvel::kTypeString, key, "full", std::string(1024, 'x')},
      {root, quorvel::kTypeString, key, "over", std::string(1025, 'y')},
      {0x80000002u, quorvel::kTypeString, key, "other", std::string("other root\0", 11)},
  };
  WriteFile(quorvel::SettingsFilePath(), FormatStoreText(values));

  EXPECT_EQ(GetRegString(kRoot, kKey, L"binary", L"default"), L"");
  EXPECT_EQ(GetRegString(kRoot, kKey, L"number", L"default"), L"900");
  EXPECT_EQ(GetRegString(kRoot, kKey, L"biggest", L"default"), L"4294967295");
  // A number of the wrong length is no number, one byte short or one over.
  EXPECT_EQ(GetRegString(kRoot, kKey, L"short", L"default"), L"");
  EXPECT_EQ(GetRegString(kRoot, kKey, L"long", L"default"), L"");
  EXPECT_EQ(GetRegString(kRoot, kKey, L"expand", L"default"), L"%HOME%/q");
  EXPECT_EQ(GetRegString(kRoot, kKey, L"multi", L"default"), L"");
  EXPECT_EQ(GetRegString(kRoot, kKey, L"nozero", L"default"), L"abc");
  EXPECT_EQ(GetRegString(kRoot, kKey, L"full", L"default"), std::wstring(1024, L'x'));
  EXPECT_EQ(GetRegString(kRoot, kKey, L"over", L"default"), L"default");
  EXPECT_EQ(GetRegString(kRoot, kKey, L"other", L"default"), L"default");
  EXPECT_EQ(GetRegString(0x80000002u, kKey, L"other", L"default"), L"other root");

  // A write keeps every other value as it was, types included.
  ASSERT_TRUE(SaveRegString(kRoot, kKey, L"nozero", L"new"));
  auto stored = ParseStoreText(ReadFile(quorvel::SettingsFilePath()));
  ASSERT_EQ(stored.size(), values.size());
  values.erase(values.begin() + 7);
  values.push_back({root, quorvel::kTypeString, key, "nozero", std::string("new\0", 4)});
  EXPECT_EQ(stored, values);
}

TEST(FileStoreFormat, EveryByteRoundTrips) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  const std::vector<StoredValue> values = {
      {0x80000001u, 1, "SOFTWARE\\Quorvel", "identifiant", std::string("abc\0", 4)},
      {0xFFFFFFFFu, 0xFFFFFFFFu, all, all, all},
      {0, 0, "", "", ""},
      {0x80000001u, 1, "k\tey", "na\nme", "%%41%\r\n\t"},
  };
  const std::string text = FormatStoreText(values);
  EXPECT_EQ(ParseStoreText(text), values);
  // One line per value after the header, whatever the values hold.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);
  EXPECT_NE(text.find("80000001\t1\tSOFTWARE\\Quorvel\tidentifiant\tabc%00\n"), std::string::npos);
  // Control bytes, DEL and the escape character itself are written escaped; the rest as is.
  EXPECT_EQ(FormatStoreText({{1, 1, "k", "n", "\x1f \x7f~%\x80"}}).substr(text.find('\n') + 1),
            "00000001\t1\tk\tn\t%1F %7F~%25\x80\n");
}

TEST(FileStoreFormat, MalformedLinesAreSkippedAndTheRestKept) {
  const std::string good = "80000001\t1\tk\tn\tv%00\n";
  const std::string text = good +
                           "8000001\t1\tk\tshort root\tv\n"
                           "8000000G\t1\tk\tbad root\tv\n"
                           "80000001\t4294967296\tk\ttype too big\tv\n"
                           "80000001\t-1\tk\tsigned type\tv\n"
                           "80000001\t\tk\tno type\tv\n"
                           "80000001\t1\tk\tfour fields\n"
                           "80000001\t1\tk\tsix\tfields\tv\n"
                           "80000001\t1\tk\tbad escape\t%4\n"
                           "80000001\t1\tk\tbad escape\t%G1\n"
                           "80000001\t1\tk\traw control\ta\rb\n"
                           "80000001\t1\tk\traw delete\ta\x7f"
                           "b\n"
                           "\n"
                           "# a comment\n" +
                           good + "80000001\t1\tk\tcut\tv";
  const auto values = ParseStoreText(text);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0], (StoredValue{0x80000001u, 1, "k", "n", std::string("v\0", 2)}));
  EXPECT_EQ(values[1], values[0]);
  EXPECT_TRUE(ParseStoreText("").empty());
  EXPECT_TRUE(ParseStoreText(std::string("\0\0\n\t\t\t\t\n", 8)).empty());
  EXPECT_EQ(ParseStoreText("80000001\t1\tk\tn\t%ff%Fe\n")[0].data, "\xFF\xFE");
}

TEST_F(SettingsStoreTest, SnapshotReadsTheFileOnceAndSeesItsOwnWrites) {
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"first"));
  ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIntervalValue, L"600"));
  const std::filesystem::path store = quorvel::SettingsFilePath();
  const std::string before = ReadFile(store);
  {
    const quorvel::StoreSnapshot snapshot;
    EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), L"first");
    // Another process replaces the file: the values read together keep coming from the
    // reading taken at the first of them, never half of one file and half of the other.
    std::string other = before;
    other.replace(other.find("first"), 5, "other");
    WriteFile(store, other);
    EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), L"first");
    EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIntervalValue, L""), L"600");
    // A write of this thread drops the reading: what follows sees the file as it is now.
    ASSERT_TRUE(SaveRegString(kRoot, kKey, quorvelmod::kIntervalValue, L"900"));
    EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIntervalValue, L""), L"900");
    EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), L"other");
    {
      const quorvel::StoreSnapshot nested;  // the outer one's reading, not a new one
      WriteFile(store, before);
      EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), L"other");
    }
    EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), L"other");
  }
  // Without one, every read is the file's.
  EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L""), L"first");
  // A store that cannot be read: every value of the snapshot gets its default and the reason.
  std::filesystem::remove(store);
  std::filesystem::create_directory(store);
  {
    const quorvel::StoreSnapshot snapshot;
    EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIdentifierValue, L"default"), L"default");
    EXPECT_EQ(GetRegString(kRoot, kKey, quorvelmod::kIntervalValue, L"default"), L"default");
    EXPECT_NE(quorvel::LastStoreError().find("not a regular file"), std::string::npos) << quorvel::LastStoreError();
  }
  std::filesystem::remove(store);
}
