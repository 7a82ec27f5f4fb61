// quorvel.exe as a file: its icon (five images in order), its version record and exactly one
// manifest, which asks for per-monitor DPI awareness and the visual-style controls.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/window_text.hpp"

namespace {

std::wstring ProgramPath() { return quorvel_test::WindowsPath(QUORVEL_EXE); }

class ProgramFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(ProgramPath().c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }

  std::vector<ULONG_PTR> ResourceIds(LPCWSTR type) {
    std::vector<ULONG_PTR> ids;
    EnumResourceNamesW(
        module_, type,
        [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list) -> BOOL {
          reinterpret_cast<std::vector<ULONG_PTR>*>(list)->push_back(
              IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : ~ULONG_PTR{0});
          return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&ids));
    return ids;
  }

  std::string ResourceBytes(LPCWSTR type, ULONG_PTR id) {
    HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), type);
    if (!found) return {};
    const auto* data = static_cast<const char*>(LockResource(LoadResource(module_, found)));
    return data ? std::string(data, SizeofResource(module_, found)) : std::string();
  }

  HMODULE module_ = nullptr;
};

#pragma pack(push, 2)
struct IconGroupEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST_F(ProgramFileTest, ApplicationIcon_HasFiveImagesInOrderAtTheLowestId) {
  const std::vector<ULONG_PTR> groups = ResourceIds(RT_GROUP_ICON);
  ASSERT_FALSE(groups.empty());
  EXPECT_EQ(*std::min_element(groups.begin(), groups.end()), 1u);
  const std::string group = ResourceBytes(RT_GROUP_ICON, 1);
  ASSERT_GE(group.size(), 6u);
  const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
  ASSERT_EQ(count, 5);
  ASSERT_EQ(group.size(), 6u + 5 * sizeof(IconGroupEntry));
  const int expected[5][2] = {{16, 4}, {32, 8}, {16, 8}, {48, 32}, {32, 32}};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    const auto* entry = reinterpret_cast<const IconGroupEntry*>(group.data() + 6) + i;
    EXPECT_EQ(entry->width, expected[i][0]);
    EXPECT_EQ(entry->height, expected[i][0]);
    EXPECT_EQ(entry->bitCount, expected[i][1]);
    // The image itself says the same.
    const std::string image = ResourceBytes(RT_ICON, entry->id);
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
    const auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(image.data());
    EXPECT_EQ(header->biWidth, expected[i][0]);
    EXPECT_EQ(header->biHeight, 2 * expected[i][0]);  // the colours, then the mask
    EXPECT_EQ(header->biBitCount, expected[i][1]);
  }
  // The tray's three images follow, numbered (a name would sort before the application icon),
  // each at the tray's sizes from 100 to 200 %.
  EXPECT_EQ(groups, (std::vector<ULONG_PTR>{1, 2, 3, 4}));
  for (ULONG_PTR id = 2; id <= 4; ++id) {
    SCOPED_TRACE(id);
    const std::string tray = ResourceBytes(RT_GROUP_ICON, id);
    ASSERT_EQ(tray.size(), 6u + 4 * sizeof(IconGroupEntry));
    const int sizes[4] = {16, 20, 24, 32};
    for (int i = 0; i < 4; ++i) {
      const auto* entry = reinterpret_cast<const IconGroupEntry*>(tray.data() + 6) + i;
      EXPECT_EQ(entry->width, sizes[i]);
      EXPECT_EQ(entry->bitCount, 32);
    }
  }
}

TEST_F(ProgramFileTest, VersionRecord_Is201WithTheDescription) {
  const std::wstring path = ProgramPath();
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(0, 2));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 1));
  EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(0, 2));
  EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(0, 1));

  const auto text = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT chars = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040C04B0\\") + name;
    if (!VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars))
      return std::wstring();
    return std::wstring(value);
  };
  EXPECT_EQ(text(L"FileDescription"), L"Retrouver votre IP facilement");
  EXPECT_EQ(text(L"ProductName"), L"Quorvel");
  EXPECT_EQ(text(L"FileVersion"), L"2.01");
  EXPECT_EQ(text(L"ProductVersion"), L"2.01");
}

TEST_F(ProgramFileTest, Manifest_IsEmbeddedOnceWithDpiAwarenessAndVisualStyles) {
  const std::vector<ULONG_PTR> manifests = ResourceIds(RT_MANIFEST);
  ASSERT_EQ(manifests.size(), 1u);
  EXPECT_EQ(manifests[0], 1u);
  const std::string manifest = ResourceBytes(RT_MANIFEST, 1);
  EXPECT_NE(manifest.find("PerMonitorV2"), std::string::npos);
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(manifest.find("version=\"6.0.0.0\""), std::string::npos);
}

}  // namespace
