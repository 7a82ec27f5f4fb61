// The window after a change of the system's settings, created in this process and sent the
// messages the system sends: moved to a monitor of another DPI (laid out again from twips,
// with the message font and the notification icon of that DPI), and a high-contrast theme
// switched on and off (the log box's colours, read from the screen). And the notification
// icon's state as its record holds it, over a failing hour run on an injected clock.
#include <windows.h>

#include <oleacc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <gtest/gtest.h>

#include <string>

#include "common/text.hpp"
#include "log_box_pixels.hpp"
#include "support/log_lines.hpp"
#include "support/message_pump.hpp"
#include "support/scripted_server.hpp"
#include "support/stored_settings.hpp"
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

// An icon's width; 0 if the handle is not a live icon.
int IconWidth(HICON icon) {
  ICONINFO info{};
  if (!GetIconInfo(icon, &info)) return 0;
  BITMAP bitmap{};
  GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
  if (info.hbmColor) DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  return bitmap.bmWidth;
}

// The width of the icon the notification record holds.
int TrayIconWidth(const quorvel::quorvelmain& window) { return IconWidth(window.TrayRecord().hIcon); }

// The widths of the window's large and small icons: its own if it set them, else its class's.
std::pair<int, int> WindowIconWidths(HWND window) {
  const auto icon = [window](WPARAM size, int classIndex) {
    auto own = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, size, 0));
    return IconWidth(own ? own : reinterpret_cast<HICON>(GetClassLongPtrW(window, classIndex)));
  };
  return {icon(ICON_BIG, GCLP_HICON), icon(ICON_SMALL, GCLP_HICONSM)};
}

// Which of the three images the icon is, from its pixels: the warning mark's yellow, the
// arrow's green, or no colour at all (greyed).
char TrayImageOf(HICON icon) {
  constexpr int kSize = 32;
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), kSize, -kSize, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, bitmap);
  RECT all{0, 0, kSize, kSize};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  const bool drawn = DrawIconEx(dc, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL);
  int yellow = 0, green = 0, coloured = 0;
  for (int i = 0; i < kSize * kSize; ++i) {
    const auto* p = static_cast<const BYTE*>(bits) + i * 4;
    const int b = p[0], g = p[1], r = p[2];
    if (r > 200 && g > 150 && b < 90) ++yellow;
    if (g > r + 50 && g > b + 50) ++green;
    if (std::max({r, g, b}) - std::min({r, g, b}) > 40) ++coloured;
  }
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  if (!drawn) return '?';
  if (yellow > 3 && green == 0) return 'w';
  if (green > 3 && yellow == 0) return 'n';
  return coloured == 0 ? 'o' : '?';
}

// The tip as the record holds it: "Quorvel V2", then the state's line.
std::string Tip(const wchar_t* stateLine) {
  return quorvel::ToAnsi(std::wstring(L"Quorvel V2\n") + stateLine);
}

TEST(DpiChangeTest, TrayState_ImageTipAndOneBalloonForAFailingPeriod) {
  quorvel_test::ClearStoredSettings();
  // Five refusals, then the server takes the updates again.
  std::vector<quorvel_test::Behaviour> behaviours(5, quorvel_test::Answer("denied"));
  behaviours.push_back(quorvel_test::Answer("found"));
  quorvel_test::ScriptedServer server(behaviours);
  ASSERT_NE(server.Port(), 0);
  // The program reads the variable through the C library, which keeps its own copy.
  _putenv_s("QUORVEL_SERVER", ("127.0.0.1:" + std::to_string(server.Port())).c_str());
  quorvel::TrayTime now{0, {9, 0, 0}};
  quorvel::quorvelmain window(GetModuleHandleW(nullptr), L"", L"C:\\quorvel.exe", [&now] { return now; });
  ASSERT_TRUE(window.Create());
  window.Form_Load();
  HWND hwnd = window.Handle();
  const NOTIFYICONDATAA& tray = window.TrayRecord();
  EXPECT_EQ(tray.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V2_SIZE))
      << "the record that holds 128 characters";
  EXPECT_EQ(tray.szTip, Tip(L"Service désactivé"));
  EXPECT_EQ(TrayImageOf(tray.hIcon), 'o');

  // Running hidden, as after a logon start.
  SetWindowTextW(GetDlgItem(hwnd, IDC_TEXT1), L"abc");
  ShowWindow(hwnd, SW_HIDE);
  const auto log = [hwnd] {
    wchar_t text[16384] = L"";
    GetWindowTextW(GetDlgItem(hwnd, IDC_TEXT2), text, 16384);
    return quorvel_test::LogMessages(text);
  };
  int attempts = 0;
  // One update every five minutes: the countdown's ticks are sent (a minute after a failure,
  // the interval after a success), the clock is moved.
  const auto nextUpdate = [&](const wchar_t* outcome, int ticks = 60) {
    ++attempts;
    const auto before = log().size();
    if (attempts == 1) {
      SendMessageW(GetDlgItem(hwnd, IDC_COMMAND3), BM_CLICK, 0, 0);
    } else {
      now.ms += 5 * 60 * 1000;
      now.local.minutes += 5;
      for (int tick = 0; tick < ticks; ++tick) SendMessageW(hwnd, WM_TIMER, 2, 0);
    }
    return quorvel_test::PumpUntil([&] {
      const auto lines = log();
      return std::find(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end(), outcome) !=
             lines.end();
    });
  };
  const wchar_t* kFailed = L"Impossible de se connecter au serveur maitre.";
  const wchar_t* kFound = L"Identifiant mis à jour avec succès.";

  ASSERT_TRUE(nextUpdate(kFailed));
  EXPECT_EQ(tray.szTip, Tip(L"Échec de la mise à jour à 09:00, nouvel essai à 09:01"));
  EXPECT_EQ(TrayImageOf(tray.hIcon), 'w');
  // Moved to a monitor of another DPI, the icon keeps its state at the new size.
  RECT suggested{100, 100, 1000, 500};
  SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  EXPECT_EQ(TrayIconWidth(window), 24);
  EXPECT_EQ(WindowIconWidths(hwnd), std::make_pair(48, 24));
  EXPECT_EQ(TrayImageOf(tray.hIcon), 'w');
  SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&suggested));
  EXPECT_EQ(TrayIconWidth(window), 16);

  ASSERT_TRUE(nextUpdate(kFailed));
  EXPECT_EQ(window.TrayBalloonsShown(), 0) << "five minutes, two attempts";
  ASSERT_TRUE(nextUpdate(kFailed));
  EXPECT_EQ(window.TrayBalloonsShown(), 1) << "ten minutes, three attempts";
  EXPECT_EQ(tray.dwInfoFlags & NIIF_ICON_MASK, static_cast<DWORD>(NIIF_WARNING));
  EXPECT_EQ(tray.uFlags & NIF_INFO, 0u) << "later changes do not bring the balloon back";
  ASSERT_TRUE(nextUpdate(kFailed));
  ASSERT_TRUE(nextUpdate(kFailed));
  EXPECT_EQ(window.TrayBalloonsShown(), 1) << "never one per failure";
  EXPECT_EQ(tray.szTip, Tip(L"Échec de la mise à jour à 09:20, nouvel essai à 09:21"));

  ASSERT_TRUE(nextUpdate(kFound));
  EXPECT_EQ(window.TrayBalloonsShown(), 2) << "one when updates work again";
  EXPECT_EQ(tray.dwInfoFlags & NIIF_ICON_MASK, static_cast<DWORD>(NIIF_INFO));
  EXPECT_EQ(tray.szTip, Tip(L"Dernière mise à jour réussie à 09:25"));
  EXPECT_EQ(TrayImageOf(tray.hIcon), 'n');
  ASSERT_TRUE(nextUpdate(kFound, 900));
  EXPECT_EQ(window.TrayBalloonsShown(), 2);

  SendMessageW(GetDlgItem(hwnd, IDC_COMMAND4), BM_CLICK, 0, 0);
  EXPECT_EQ(tray.szTip, Tip(L"Service désactivé"));
  EXPECT_EQ(TrayImageOf(tray.hIcon), 'o');
  const auto lines = log();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), std::wstring(kFailed)), 5);
  DestroyWindow(hwnd);
  quorvel_test::DispatchPending();

  // Started on with a server that cannot be used: the warning image at once, and a tip that
  // says nothing is sent.
  _putenv_s("QUORVEL_SERVER", "https://127.0.0.1:1/update");
  quorvel_test::StoreValue(quorvel_test::kRunKey, L"quorvel", L"quorvel.exe -wiper");
  {
    quorvel::quorvelmain refused(GetModuleHandleW(nullptr), L"", L"C:\\quorvel.exe", [&now] { return now; });
    ASSERT_TRUE(refused.Create());
    refused.Form_Load();
    EXPECT_EQ(refused.TrayRecord().szTip, Tip(L"Serveur refusé, rien n'est envoyé"));
    EXPECT_EQ(TrayImageOf(refused.TrayRecord().hIcon), 'w');
    DestroyWindow(refused.Handle());
    quorvel_test::DispatchPending();
  }
  _putenv_s("QUORVEL_SERVER", "");
  quorvel_test::ClearStoredSettings();
}

// What a screen reader asks the system for a control's name (Microsoft Active Accessibility).
// Empty with the failing result when the system gives none.
std::pair<HRESULT, std::wstring> AccessibleName(HWND control) {
  // Spelled out: the import library's IID_IAccessible does not hold this interface's number.
  static const GUID kIAccessible = {
      0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  IAccessible* accessible = nullptr;
  HRESULT result = AccessibleObjectFromWindow(control, static_cast<DWORD>(OBJID_CLIENT), kIAccessible,
                                              reinterpret_cast<void**>(&accessible));
  if (FAILED(result) || !accessible) return {result, L""};
  VARIANT self;
  VariantInit(&self);
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  BSTR name = nullptr;
  result = accessible->get_accName(self, &name);
  std::wstring text = name ? std::wstring(name, SysStringLen(name)) : L"";
  SysFreeString(name);
  accessible->Release();
  return {result, text};
}

TEST(DpiChangeTest, ScreenReaders_NameEachBoxAfterTheFrameAboveIt) {
  CoInitialize(nullptr);
  quorvel::quorvelmain window(GetModuleHandleW(nullptr), L"", L"C:\\quorvel.exe");
  ASSERT_TRUE(window.Create());
  HWND hwnd = window.Handle();
  for (const auto& [box, frame] :
       {std::pair{IDC_TEXT1, IDC_FRAME1}, {IDC_TEXT2, IDC_FRAME2}, {IDC_LIST1, IDC_FRAME3}}) {
    SCOPED_TRACE(box);
    // A screen reader takes the caption of the window just above a box as the box's name.
    HWND caption = GetWindow(GetDlgItem(hwnd, box), GW_HWNDPREV);
    EXPECT_EQ(caption, GetDlgItem(hwnd, frame));
    wchar_t text[64] = L"";
    GetWindowTextW(caption, text, 64);
    const auto [result, name] = AccessibleName(GetDlgItem(hwnd, box));
    EXPECT_TRUE(SUCCEEDED(result));
    // Wine 8 names a box after its own text only (S_FALSE, no name); Windows after the caption.
    std::printf("accessible name of control %d: result 0x%08lx, \"%s\"\n", box,
                static_cast<unsigned long>(result), quorvel::ToAnsi(name).c_str());
    if (result == S_OK) {
      const std::wstring expected = text;
      EXPECT_TRUE(name == expected || name + L":" == expected) << quorvel::ToAnsi(name);
    }
  }
  DestroyWindow(hwnd);
  CoUninitialize();
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
  // Made in place: Text1 at 16, 24, 161 x 21 pixels; the icons of 96 DPI.
  const RECT placed = ClientRectOf(text1);
  EXPECT_EQ(placed.left, 16);
  EXPECT_EQ(placed.top, 24);
  EXPECT_EQ(placed.right - placed.left, 161);
  EXPECT_EQ(placed.bottom - placed.top, 21);
  EXPECT_EQ(WindowIconWidths(hwnd), std::make_pair(32, 16));
  // The record with the small icon of 96 DPI.
  const NOTIFYICONDATAA& tray = window.TrayRecord();
  EXPECT_EQ(tray.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V2_SIZE));
  EXPECT_EQ(tray.hWnd, hwnd);
  EXPECT_EQ(tray.uID, 1u);
  EXPECT_EQ(tray.uFlags, 7u);
  EXPECT_EQ(tray.uCallbackMessage, 0x200u);
  EXPECT_EQ(tray.szTip, Tip(L"Service désactivé"));
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
  EXPECT_EQ(SendMessageW(GetDlgItem(hwnd, IDC_COMMAND1), WM_GETFONT, 0, 0),
            SendMessageW(text1, WM_GETFONT, 0, 0));
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
  EXPECT_EQ(WindowIconWidths(hwnd), std::make_pair(32, 16));
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
  SetWindowTextW(logBox,
                 L"12:00:00  Quorvel Version 2.0 - exemple.test\r\n12:00:00  Le service est désactivé.");

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
