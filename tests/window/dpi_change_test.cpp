// The window after a change of the system's settings, created in this process and sent the
// messages the system sends: moved to a monitor of another DPI (laid out again from twips,
// with the message font and the notification icon of that DPI), and a high-contrast theme
// switched on and off (the log box's colours, read from the screen).
#include <windows.h>

#include <gtest/gtest.h>

#include "log_box_pixels.hpp"
#include "support/message_pump.hpp"
#include "window/main_window.hpp"
#include "window/resource.hpp"

namespace {

using quorvel_test::LogBoxPixels;
using quorvel_test::ReadLogBox;

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

// The width of the icon the notification record holds; 0 if the handle is not a live icon.
int TrayIconWidth(const quorvel::quorvelmain& window) {
  ICONINFO info{};
  if (!GetIconInfo(window.TrayRecord().hIcon, &info)) return 0;
  BITMAP bitmap{};
  GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
  if (info.hbmColor) DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  return bitmap.bmWidth;
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
  // The first-version record with the small icon of 96 DPI.
  const NOTIFYICONDATAA& tray = window.TrayRecord();
  EXPECT_EQ(tray.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V1_SIZE));
  EXPECT_EQ(tray.hWnd, hwnd);
  EXPECT_EQ(tray.uID, 1u);
  EXPECT_EQ(tray.uFlags, 7u);
  EXPECT_EQ(tray.uCallbackMessage, 0x200u);
  EXPECT_STREQ(tray.szTip, "Quorvel V2");
  EXPECT_EQ(TrayIconWidth(window), 16);

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
  // The notification record holds a live icon of the new small size, not the old one's
  // destroyed handle.
  EXPECT_EQ(TrayIconWidth(window), 24);

  // Back to 96 DPI: the exact layout again.
  SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&suggested));
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, 561);
  EXPECT_EQ(client.bottom, 184);
  EXPECT_EQ(FontHeight(text1), fontAt96);
  EXPECT_EQ(TrayIconWidth(window), 16);
  DestroyWindow(hwnd);
}

TEST(DpiChangeTest, HighContrast_LogBoxTakesTheWindowColoursWithoutARestart) {
  // Wine cannot switch high contrast: the window's test-only switch stands in for the system.
  constexpr wchar_t kSwitch[] = L"QUORVEL_TEST_HIGH_CONTRAST";
  SetEnvironmentVariableW(kSwitch, L"0");
  quorvel::quorvelmain window(GetModuleHandleW(nullptr), L"", L"C:\\quorvel.exe");
  ASSERT_TRUE(window.Create());
  HWND hwnd = window.Handle();
  HWND logBox = GetDlgItem(hwnd, IDC_TEXT2);
  ShowWindow(hwnd, SW_SHOW);
  SetWindowTextW(logBox, L"12:00:00  Quorvel Version 2.0 - exemple.test\r\n12:00:00  Le service est désactivé.");

  quorvel_test::PumpFor(300);
  LogBoxPixels seen = ReadLogBox(logBox, RGB(255, 255, 255));
  EXPECT_EQ(seen.background, GetSysColor(COLOR_GRAYTEXT));
  EXPECT_GT(seen.inColour, 50) << "white text on the first line";

  // Switched on while the window runs: Windows sends WM_SETTINGCHANGE for SPI_SETHIGHCONTRAST.
  SetEnvironmentVariableW(kSwitch, L"1");
  SendMessageW(hwnd, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
  quorvel_test::PumpFor(300);
  seen = ReadLogBox(logBox, GetSysColor(COLOR_WINDOWTEXT));
  EXPECT_EQ(seen.background, GetSysColor(COLOR_WINDOW));
  EXPECT_GT(seen.inColour, 50) << "window-text coloured text on the first line";

  // And off again, with the colour change that comes with it.
  SetEnvironmentVariableW(kSwitch, L"0");
  SendMessageW(hwnd, WM_SYSCOLORCHANGE, 0, 0);
  quorvel_test::PumpFor(300);
  seen = ReadLogBox(logBox, RGB(255, 255, 255));
  EXPECT_EQ(seen.background, GetSysColor(COLOR_GRAYTEXT));
  EXPECT_GT(seen.inColour, 50);
  DestroyWindow(hwnd);
  SetEnvironmentVariableW(kSwitch, nullptr);
}

}  // namespace
