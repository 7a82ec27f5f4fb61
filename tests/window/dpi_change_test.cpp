// The window moved to a monitor of another DPI: laid out again from twips, with the message
// font of that DPI. Created in this process, as the system would send it WM_DPICHANGED.
#include <windows.h>

#include <gtest/gtest.h>

#include "window/main_window.hpp"
#include "window/resource.hpp"

namespace {

RECT ClientRectOf(HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

LONG FontHeight(HWND control) {
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font);
  return font.lfHeight < 0 ? -font.lfHeight : font.lfHeight;
}

TEST(DpiChangeTest, DpiChanged_LaysOutFromTwipsAndScalesTheFont) {
  quorvel::quorvelmain window(GetModuleHandleW(nullptr), L"", L"C:\\quorvel.exe");
  ASSERT_TRUE(window.Create());
  HWND hwnd = window.Handle();
  HWND text1 = GetDlgItem(hwnd, IDC_TEXT1);
  RECT client{};
  GetClientRect(hwnd, &client);
  ASSERT_EQ(client.right, 561);
  ASSERT_EQ(client.bottom, 184);
  const LONG fontAt96 = FontHeight(text1);
  ASSERT_GT(fontAt96, 0);

  RECT suggested{100, 100, 1000, 500};
  SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));

  // 150 %: 8415 x 2760 twips are 842 x 276 pixels (841.5 rounds up).
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, 842);
  EXPECT_EQ(client.bottom, 276);
  RECT frame{};
  GetWindowRect(hwnd, &frame);
  EXPECT_EQ(frame.left, 100);
  EXPECT_EQ(frame.top, 100);
  // Text1 sits in Frame1 at 240 x 360 twips, 2415 x 315 twips large.
  const RECT text = ClientRectOf(text1);
  EXPECT_EQ(text.left, 24);
  EXPECT_EQ(text.top, 36);
  EXPECT_EQ(text.right - text.left, 242);
  EXPECT_EQ(text.bottom - text.top, 32);
  // "Désactiver le service": 6120, 2280, 2175 x 375 twips.
  const RECT button = ClientRectOf(GetDlgItem(hwnd, IDC_COMMAND4));
  EXPECT_EQ(button.left, 612);
  EXPECT_EQ(button.top, 228);
  EXPECT_EQ(button.right, 612 + 218);
  EXPECT_EQ(button.bottom, 228 + 38);
  // Every control has the new, larger font.
  EXPECT_GT(FontHeight(text1), fontAt96);
  EXPECT_EQ(SendMessageW(GetDlgItem(hwnd, IDC_COMMAND1), WM_GETFONT, 0, 0), SendMessageW(text1, WM_GETFONT, 0, 0));

  // Back to 96 DPI: the exact layout again.
  SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&suggested));
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, 561);
  EXPECT_EQ(client.bottom, 184);
  EXPECT_EQ(FontHeight(text1), fontAt96);
  DestroyWindow(hwnd);
}

}  // namespace
