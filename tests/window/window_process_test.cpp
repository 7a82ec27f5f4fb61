// The real quorvel.exe under Wine, driven as a user drives it: its window and controls at
// 96 DPI, the keyboard's tab order, start-up, activation against a loopback server, the
// message boxes, the logon start, hiding and the tray icon's click, one instance, closing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "log_box_pixels.hpp"
#include "quorvel_process.hpp"
#include "support/log_lines.hpp"

#include <tlhelp32.h>  // after windows.h, which quorvel_process.hpp includes

namespace quorvel_test {
namespace {

// Ending takes a few seconds under Wine on a display without a window manager: each window
// that goes away is waited for.
constexpr int kExitWait = 15000;
// Showing and hiding wait for the display in the same way.
constexpr int kUiWait = 8000;
// Wine hands web addresses to the browsers named here: "true" stands in for one, so the
// tests open nothing on the machine.
constexpr wchar_t kBrowserKey[] = L"Software\\Wine\\WineBrowser";

// The page is opened by a chain of processes started beside the program (cmd, its start,
// Wine's browser launcher); the last one to start takes the foreground, and keys pressed
// meanwhile go to it. Waits until none of them is left.
bool BrowserLaunchDone(int milliseconds) {
  return WaitFor(
      [] {
        const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) return false;
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        bool running = false;
        for (BOOL more = Process32FirstW(snapshot, &entry); more && !running; more = Process32NextW(snapshot, &entry))
          for (const wchar_t* name : {L"cmd.exe", L"start.exe", L"winebrowser.exe"})
            running = running || _wcsicmp(entry.szExeFile, name) == 0;
        CloseHandle(snapshot);
        return !running;
      },
      milliseconds);
}

class QuorvelWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearStoredSettings(); }
  void TearDown() override { ClearStoredSettings(); }

  // The program's message box: its text and its icon's colour ('y' warning, 'r' stop), then
  // dismissed as a user would, and gone.
  static void ExpectMessageBoxDismissed(QuorvelProcess& quorvel, const std::wstring& text, char iconColour) {
    const MessageBoxSeen box = FindMessageBox(quorvel.Id());
    ASSERT_NE(box.dialog, nullptr);
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.iconColour, iconColour);
    DismissMessageBox(box);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(box.dialog); }, 3000));
  }

  // A start whose first log line names the server text it refused, never the built-in host.
  static void ExpectRefusedAtStart(QuorvelProcess& quorvel, const wchar_t* stateLine, const std::wstring& said) {
    ASSERT_NE(quorvel.Window(), nullptr);
    ASSERT_TRUE(quorvel.WaitForLogLine(stateLine));
    const std::vector<std::wstring> lines = LogMessages(quorvel.Log());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"Quorvel Version 2.0 - " + said);
    EXPECT_EQ(lines[1], stateLine);
    EXPECT_EQ(quorvel.Log().find(L"www.quorvel.fr"), std::wstring::npos);
  }
};

struct ExpectedControl {
  int id;
  const wchar_t* className;
  const wchar_t* caption;
  RECT pixels;  // left, top, right, bottom in the client area at 96 DPI
};

TEST_F(QuorvelWindowTest, FirstStart_ShowsEveryControlInPlaceWithTheInitialState) {
  LoopbackServer server("found");
  QuorvelProcess quorvel(L"", server.Port());
  ASSERT_TRUE(quorvel.ShownWith(L"Le service est désactivé."));
  HWND window = quorvel.Window();

  // A fixed window with the window menu and the close box only, 561 x 184 client pixels.
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_FALSE(style & WS_THICKFRAME);
  EXPECT_FALSE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  RECT client{};
  GetClientRect(window, &client);
  EXPECT_EQ(client.right, 561);
  EXPECT_EQ(client.bottom, 184);
  // Centred on the screen, give or take the frame's rounding.
  RECT frame{};
  GetWindowRect(window, &frame);
  EXPECT_NEAR((frame.left + frame.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 2);
  EXPECT_NEAR((frame.top + frame.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 2);
  EXPECT_TRUE(IsWindowVisible(window));

  const std::wstring label = L"Actualiser mon adresse IP toutes les" + std::wstring(42, L' ') + L"minutes";
  const ExpectedControl controls[] = {
      {IDC_FRAME1, L"Button", L"Votre identifiant unique:", {8, 8, 193, 57}},
      {IDC_TEXT1, L"Edit", L"", {16, 24, 177, 45}},
      {IDC_FRAME3, L"Button", L"Fréquence d'actualisation:", {200, 8, 553, 57}},
      {IDC_LABEL1, L"Static", label.c_str(), {208, 32, 545, 49}},
      {IDC_LIST1, L"ListBox", L"", {384, 32, 497, 49}},
      {IDC_FRAME2, L"Button", L"Journal d'informations:", {8, 64, 553, 145}},
      {IDC_TEXT2, L"Edit", nullptr, {16, 80, 545, 137}},
      {IDC_COMMAND2, L"Button", L"Créer un identifiant unique", {8, 152, 169, 177}},
      {IDC_COMMAND3, L"Button", L"Activer le service", {168, 152, 313, 177}},
      {IDC_COMMAND1, L"Button", L"Minimiser", {312, 152, 409, 177}},
      {IDC_COMMAND4, L"Button", L"Désactiver le service", {408, 152, 553, 177}},
  };
  for (const ExpectedControl& expected : controls) {
    SCOPED_TRACE(expected.id);
    HWND control = quorvel.Control(expected.id);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(ClassOf(control), expected.className);
    if (expected.caption) {
      EXPECT_EQ(TextOf(control), expected.caption);
    }
    const RECT rect = ClientRectOf(control);
    EXPECT_EQ(rect.left, expected.pixels.left);
    EXPECT_EQ(rect.top, expected.pixels.top);
    EXPECT_EQ(rect.right, expected.pixels.right);
    EXPECT_EQ(rect.bottom, expected.pixels.bottom);
    EXPECT_TRUE(IsWindowVisible(control));
  }
  EXPECT_EQ(TextOf(quorvel.Control(IDC_LABEL1)).size(), 85u);

  // The list: 60 rows "1" to "60", one selectable, row "15" restored; drawn over the label.
  HWND list = quorvel.Control(IDC_LIST1);
  EXPECT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 60);
  wchar_t row[8] = L"";
  SendMessageW(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(row));
  EXPECT_STREQ(row, L"1");
  SendMessageW(list, LB_GETTEXT, 59, reinterpret_cast<LPARAM>(row));
  EXPECT_STREQ(row, L"60");
  EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), 14);
  EXPECT_TRUE(GetWindowLongW(list, GWL_STYLE) & WS_VSCROLL);
  RECT listClient{};
  GetClientRect(list, &listClient);
  EXPECT_EQ(SendMessageW(list, LB_GETITEMHEIGHT, 0, 0), listClient.bottom) << "one row fills the box";
  EXPECT_FALSE(GetWindowLongW(list, GWL_STYLE) & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL));
  bool listAboveLabel = false;
  for (HWND next = GetWindow(list, GW_HWNDNEXT); next; next = GetWindow(next, GW_HWNDNEXT)) {
    if (next == quorvel.Control(IDC_LABEL1)) listAboveLabel = true;
  }
  EXPECT_TRUE(listAboveLabel);
  // Z-order, top first: a screen reader names each box and the list after the frame just
  // above it; the Tab order of the buttons and boxes is the one checked below.
  std::vector<int> zOrder;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    zOrder.push_back(GetDlgCtrlID(child));
  }
  EXPECT_EQ(zOrder,
            (std::vector<int>{IDC_COMMAND1, IDC_COMMAND2, IDC_FRAME1, IDC_TEXT1, IDC_FRAME2, IDC_TEXT2,
                              IDC_COMMAND3, IDC_COMMAND4, IDC_FRAME3, IDC_LIST1, IDC_LABEL1}));
  for (const auto& [box, caption] :
       {std::pair{IDC_TEXT1, IDC_FRAME1}, {IDC_TEXT2, IDC_FRAME2}, {IDC_LIST1, IDC_FRAME3}}) {
    EXPECT_EQ(GetWindow(quorvel.Control(box), GW_HWNDPREV), quorvel.Control(caption)) << box;
  }

  // The log box: locked, several lines, a vertical scroll bar only.
  const LONG logStyle = GetWindowLongW(quorvel.Control(IDC_TEXT2), GWL_STYLE);
  EXPECT_TRUE(logStyle & ES_READONLY);
  EXPECT_TRUE(logStyle & ES_MULTILINE);
  EXPECT_TRUE(logStyle & WS_VSCROLL);
  EXPECT_FALSE(logStyle & WS_HSCROLL);
  EXPECT_FALSE(logStyle & ES_AUTOHSCROLL);

  // The log box as drawn: the grey of disabled text behind white text.
  const LogBoxPixels seen = ReadLogBox(quorvel.Control(IDC_TEXT2), RGB(255, 255, 255));
  EXPECT_EQ(seen.background, GetSysColor(COLOR_GRAYTEXT));
  EXPECT_GT(seen.inColour, 50) << "white text on the first line";
  // Below the frame that names them, the label's words still show left of the list, and the
  // list's selected row over the label.
  EXPECT_GT(PixelsOfColour(quorvel.Control(IDC_LABEL1), {0, 0, 170, 17}, GetSysColor(COLOR_BTNTEXT)), 50);
  EXPECT_GT(PixelsOfColour(list, listClient, GetSysColor(COLOR_HIGHLIGHT)), 100);

  // First start on a clean system.
  const std::wstring log = quorvel.Log();
  const std::wstring banner =
      L"  Quorvel Version 2.0 - 127.0.0.1:" + std::to_wstring(server.Port()) + L"\r\n";
  ASSERT_GE(log.size(), 10u);
  EXPECT_EQ(log.substr(8, banner.size()), banner) << "the log starts with the banner, no line end before";
  EXPECT_EQ(log.substr(log.size() - 27), L"  Le service est désactivé.");
  EXPECT_EQ(TextOf(quorvel.Control(IDC_TEXT1)), L"");
  EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND3)));
  EXPECT_FALSE(IsWindowEnabled(quorvel.Control(IDC_COMMAND4)));
  EXPECT_EQ(quorvel.Focus(), quorvel.Control(IDC_COMMAND1));

  // Typing into the log box changes nothing (the character is handled when the call returns).
  DWORD_PTR ignored = 0;
  ASSERT_NE(
      SendMessageTimeoutW(quorvel.Control(IDC_TEXT2), WM_CHAR, L'x', 0, SMTO_ABORTIFHUNG, 5000, &ignored), 0);
  EXPECT_EQ(quorvel.Log(), log);
}

TEST_F(QuorvelWindowTest, MalformedServerValue_IsSaidInTheLogNotUsedSilently) {
  {
    QuorvelProcess quorvel(L"", L"127.0.0.1:99999");
    ExpectRefusedAtStart(quorvel, L"Le service est désactivé.",
                         L"QUORVEL_SERVER refusé: 127.0.0.1:99999 (le port doit être un nombre de 1 à 65535)");
  }
  // An https:// text the program cannot use (a path after the host): refused, never reached
  // in plain HTTP instead, and "Activer le service" says so and activates nothing.
  LoopbackServer server("found");
  const std::wstring https = L"https://127.0.0.1:" + std::to_wstring(server.Port()) + L"/update";
  const std::wstring refusal =
      L"QUORVEL_SERVER refusé: " + https + L" (rien après l'hôte et le port, sauf un / final)";
  QuorvelProcess quorvel(L"", https);
  ExpectRefusedAtStart(quorvel, L"Le service est désactivé.", refusal);
  quorvel.Type(IDC_TEXT1, L"abc");
  quorvel.Click(IDC_COMMAND3);
  ExpectMessageBoxDismissed(quorvel, L"Le service n'est pas activé, " + refusal + L".", 'r');
  EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND3)));
  EXPECT_FALSE(IsWindowEnabled(quorvel.Control(IDC_COMMAND4)));
  EXPECT_EQ(StoredValue(kRunKey, L"quorvel"), kAbsent);
  EXPECT_EQ(StoredValue(kSettingsKey, L"identifiant"), kAbsent);
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(QuorvelWindowTest, TabKey_VisitsTheFocusableControlsInOrder) {
  LoopbackServer server("found");
  QuorvelProcess quorvel(L"", server.Port());
  ASSERT_TRUE(quorvel.ShownWith(L"Le service est désactivé."));
  ASSERT_TRUE(WaitFor([&] { return quorvel.Focus() == quorvel.Control(IDC_COMMAND1); }, 3000));

  // "Désactiver le service" is disabled on a first start and skipped.
  const int order[] = {IDC_COMMAND2, IDC_TEXT1, IDC_TEXT2, IDC_COMMAND3, IDC_LIST1, IDC_COMMAND1};
  for (const int id : order) {
    SCOPED_TRACE(id);
    HWND focus = quorvel.Focus();
    ASSERT_NE(focus, nullptr);
    PostMessageW(focus, WM_KEYDOWN, VK_TAB, 0x000F0001);
    PostMessageW(focus, WM_KEYUP, VK_TAB, 0xC00F0001);
    EXPECT_TRUE(WaitFor([&] { return quorvel.Focus() == quorvel.Control(id); }, 2000));
    if (id == IDC_LIST1) {
      // The arrow keys step the interval one row at a time.
      HWND list = quorvel.Control(IDC_LIST1);
      PostMessageW(list, WM_KEYDOWN, VK_DOWN, 0x01500001);
      EXPECT_TRUE(WaitFor([&] { return SendMessageW(list, LB_GETCURSEL, 0, 0) == 15; }, 2000));
      EXPECT_EQ(SendMessageW(list, LB_GETTOPINDEX, 0, 0), 15);
      PostMessageW(list, WM_KEYDOWN, VK_UP, 0x01480001);
      EXPECT_TRUE(WaitFor([&] { return SendMessageW(list, LB_GETCURSEL, 0, 0) == 14; }, 2000));
    }
  }
}

TEST_F(QuorvelWindowTest, Keyboard_EscapeKeepsTheProgramAndEnterPressesTheFocusedButton) {
  StoreValue(kBrowserKey, L"Browsers", L"true");
  LoopbackServer server("found");
  QuorvelProcess quorvel(L"", server.Port());
  ASSERT_TRUE(quorvel.ShownWith(L"Le service est désactivé."));
  HWND window = quorvel.Window();
  ASSERT_TRUE(quorvel.FocusOn(IDC_COMMAND1));
  const std::wstring before = quorvel.Log();
  const auto count = [&](const std::wstring& line) {
    size_t found = 0;
    const std::wstring log = quorvel.Log();
    for (size_t at = log.find(line); at != std::wstring::npos; at = log.find(line, at + 1)) ++found;
    return found;
  };

  // Escape in every control the keyboard reaches, Tab after Tab: the program stays, shown,
  // with the service as it was and nothing logged. Keys are handled in order, and the focus
  // passes every control on the way, so only a key with an effect of its own tells that all
  // were handled: Down in the list (then Up, and Tab back to "Minimiser").
  HWND list = quorvel.Control(IDC_LIST1);
  ASSERT_TRUE(PressKeys(window, L"Escape Tab Escape Tab Escape Tab Escape Tab Escape Tab Escape Down"));
  EXPECT_TRUE(WaitFor([&] { return SendMessageW(list, LB_GETCURSEL, 0, 0) == 15; }, 3000));
  ASSERT_TRUE(PressKeys(window, L"Up Tab"));
  EXPECT_TRUE(WaitFor(
      [&] {
        return SendMessageW(list, LB_GETCURSEL, 0, 0) == 14 &&
               quorvel.Focus() == quorvel.Control(IDC_COMMAND1);
      },
      3000));
  ASSERT_TRUE(quorvel.IsRunning());
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND3)));
  EXPECT_FALSE(IsWindowEnabled(quorvel.Control(IDC_COMMAND4)));
  EXPECT_EQ(quorvel.Log(), before);

  // Enter in the identifier box, the log box and the list presses nothing.
  quorvel.Type(IDC_TEXT1, L"abc");
  ASSERT_TRUE(quorvel.FocusOn(IDC_TEXT1));
  ASSERT_TRUE(PressKeys(window, L"Return Tab Return Tab Tab Return Tab"));
  EXPECT_TRUE(WaitFor([&] { return quorvel.Focus() == quorvel.Control(IDC_COMMAND1); }, 3000));
  EXPECT_EQ(quorvel.Log(), before);
  EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND3)));
  EXPECT_TRUE(server.Requests().empty());

  // Enter on "Activer le service" activates; the focus goes on to "Désactiver le service",
  // where Escape changes nothing and Enter deactivates.
  ASSERT_TRUE(quorvel.FocusOn(IDC_COMMAND3));
  ASSERT_TRUE(PressKeys(window, L"Return"));
  ASSERT_TRUE(quorvel.WaitForLogLine(L"Service activé."));
  EXPECT_TRUE(WaitFor([&] { return quorvel.Focus() == quorvel.Control(IDC_COMMAND4); }, 3000));
  ASSERT_TRUE(PressKeys(window, L"Escape Tab"));
  EXPECT_TRUE(WaitFor([&] { return quorvel.Focus() == quorvel.Control(IDC_LIST1); }, 3000));
  EXPECT_TRUE(quorvel.IsRunning());
  EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND4)));
  ASSERT_TRUE(quorvel.FocusOn(IDC_COMMAND4));
  ASSERT_TRUE(PressKeys(window, L"Return"));
  ASSERT_TRUE(quorvel.WaitForLogLine(L"Service désactivé."));
  EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND3)));
  EXPECT_EQ(count(L"  Activation du service...\r\n"), 1u);

  // Enter on "Minimiser" hides; on "Créer un identifiant unique" opens the page and hides.
  ASSERT_TRUE(quorvel.FocusOn(IDC_COMMAND1));
  ASSERT_TRUE(PressKeys(window, L"Return"));
  ASSERT_TRUE(quorvel.WaitForLogLine(L"Application minimisé."));
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(window); }, kUiWait));
  PostMessageW(window, WM_MOUSEMOVE, 1, WM_LBUTTONUP);
  ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(window) != FALSE; }, kUiWait));
  ASSERT_TRUE(quorvel.FocusOn(IDC_COMMAND2));
  ASSERT_TRUE(PressKeys(window, L"Return"));
  EXPECT_TRUE(quorvel.WaitForLogLine(L"Ouverture effectué."));
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(window); }, kUiWait));
  ASSERT_TRUE(BrowserLaunchDone(kExitWait));
  PostMessageW(window, WM_MOUSEMOVE, 1, WM_LBUTTONUP);
  ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(window) != FALSE; }, kUiWait));
  // The tray icon's click brings the window to the front, where the keys go.
  EXPECT_TRUE(WaitFor([&] { return GetForegroundWindow() == window; }, kUiWait));

  // Alt+F4 still ends the program.
  ASSERT_TRUE(quorvel.FocusOn(IDC_COMMAND2));
  ASSERT_TRUE(PressKeys(window, L"alt+F4"));
  if (quorvel.WaitForExit(kUiWait) == -1) {
    DWORD_PTR answer = 0;
    const bool answers = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer) != 0;
    ADD_FAILURE() << "still running 8 s after Alt+F4: visible " << (IsWindowVisible(window) != FALSE)
                  << ", foreground " << (GetForegroundWindow() == window) << ", answers messages " << answers;
    ASSERT_TRUE(quorvel.FocusOn(IDC_COMMAND2));
    ASSERT_TRUE(PressKeys(window, L"alt+F4"));
  }
  EXPECT_EQ(quorvel.WaitForExit(kExitWait), 0);
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kBrowserKey, L"Browsers");
}

TEST_F(QuorvelWindowTest, WakeEvents_ResumeAndNetworkChangeBringTheUpdateForward) {
  // Active at start-up, five minutes to the first update.
  StoreValue(kSettingsKey, L"identifiant", L"abc");
  StoreValue(kSettingsKey, L"timeupdate", L"300");
  StoreValue(kRunKey, L"quorvel", L"quorvel.exe -wiper");
  LoopbackServer server("found");
  // The logon start: hidden, and the first update comes 10 seconds after the window answers,
  // not five minutes later.
  QuorvelProcess quorvel(L" -wiper", server.Port());
  ASSERT_TRUE(quorvel.ShownWith(L"Le service est activé."));
  HWND window = quorvel.Window();
  ASSERT_TRUE(quorvel.WaitForLogLine(L"Démarrage du service, mise à jour dans 10 secondes."));
  const DWORD started = GetTickCount();
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(window); }, kUiWait));

  // Back from sleep at once: the update is already nearer, so nothing moves and nothing is said.
  PostMessageW(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
  ASSERT_TRUE(WaitFor([&] { return server.Requests().size() == 1; }, 15000));
  const DWORD waited = GetTickCount() - started;
  EXPECT_GE(waited, 8000u);
  EXPECT_LE(waited, 13000u);
  EXPECT_EQ(server.Requests()[0].rfind("GET /update?ip_key=abc HTTP/1.0\r\n", 0), 0u);
  ASSERT_TRUE(quorvel.WaitForLogLine(L"Identifiant mis à jour avec succès."));
  EXPECT_EQ(quorvel.Log().find(L"Sortie de veille"), std::wstring::npos);
  // When it began is kept for the next start's spacing.
  const long long began = std::stoll(L"0" + StoredValue(kSettingsKey, L"derniereMiseAJour"));
  EXPECT_LE(std::llabs(static_cast<long long>(std::time(nullptr)) - began), 15);
  EXPECT_EQ(quorvel.Log().find(L"Changement de réseau"), std::wstring::npos) << "no change came by itself";

  // The addresses change just after that update: the next one waits for the minute since it
  // began, not 10 seconds. A second change at once moves nothing and logs nothing.
  PostMessageW(window, QUORVEL_WM_ADDRESSES_CHANGED, 0, FD_ADDRESS_LIST_CHANGE);
  PostMessageW(window, QUORVEL_WM_ADDRESSES_CHANGED, 0, FD_ADDRESS_LIST_CHANGE);
  constexpr wchar_t kNetwork[] = L"  Changement de réseau, mise à jour dans ";
  ASSERT_TRUE(WaitFor([&] { return quorvel.Log().find(kNetwork) != std::wstring::npos; }, 3000));
  ASSERT_TRUE(quorvel.Settle());  // the second change has been handled too
  const std::wstring log = quorvel.Log();
  const size_t at = log.find(kNetwork) + std::size(kNetwork) - 1;
  const int seconds = std::stoi(log.substr(at));
  EXPECT_GE(seconds, 55);
  EXPECT_LE(seconds, 60);
  EXPECT_EQ(log.compare(at, std::wstring::npos, std::to_wstring(seconds) + L" secondes."), 0)
      << "the last line, once";
  EXPECT_TRUE(quorvel.IsRunning());
  EXPECT_EQ(server.Requests().size(), 1u);
  std::printf("log of the logon start:\n%s\n", Utf8(quorvel.Log()).c_str());
}

TEST_F(QuorvelWindowTest, Activation_SavesTheSettingsAndARestartRestoresThem) {
  LoopbackServer server("found");
  {
    QuorvelProcess quorvel(L"", server.Port());
    ASSERT_TRUE(quorvel.ShownWith(L"Le service est désactivé."));
    quorvel.Type(IDC_TEXT1, L"  abc 12  ");
    SendMessageW(quorvel.Control(IDC_LIST1), LB_SETCURSEL, 4, 0);
    quorvel.Click(IDC_COMMAND3);
    ASSERT_TRUE(quorvel.WaitForLogLine(L"Identifiant mis à jour avec succès."));

    EXPECT_EQ(StoredValue(kSettingsKey, L"identifiant"), L"abc 12");
    EXPECT_EQ(StoredValue(kSettingsKey, L"timeupdate"), L"300");
    const std::wstring autostart = StoredValue(kRunKey, L"quorvel");
    EXPECT_EQ(
        CompareStringOrdinal(autostart.c_str(), -1, (L"\"" + ProgramPath() + L"\" -wiper").c_str(), -1, TRUE),
        CSTR_EQUAL)
        << "autostart: " << std::string(autostart.begin(), autostart.end());
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].rfind("GET /update?ip_key=  abc 12   HTTP/1.0\r\n", 0), 0u);
    EXPECT_FALSE(IsWindowEnabled(quorvel.Control(IDC_COMMAND3)));
    EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND4)));
    // The box keeps what was typed.
    EXPECT_EQ(TextOf(quorvel.Control(IDC_TEXT1)), L"  abc 12  ");

    // With "Activer le service" disabled the keyboard goes from the log box to "Désactiver".
    EXPECT_EQ(GetNextDlgTabItem(quorvel.Window(), quorvel.Control(IDC_TEXT2), FALSE),
              quorvel.Control(IDC_COMMAND4));

    PostMessageW(quorvel.Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(quorvel.WaitForExit(kExitWait), 0);
  }
  {
    QuorvelProcess quorvel(L"", server.Port());
    ASSERT_TRUE(quorvel.ShownWith(L"Le service est activé."));
    EXPECT_EQ(TextOf(quorvel.Control(IDC_TEXT1)), L"abc 12");
    EXPECT_EQ(SendMessageW(quorvel.Control(IDC_LIST1), LB_GETCURSEL, 0, 0), 4);
    EXPECT_FALSE(IsWindowEnabled(quorvel.Control(IDC_COMMAND3)));
    EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND4)));
    // A restart moments after an update: the start's update keeps a minute after that one, so
    // that a restart loop cannot flood the server.
    constexpr wchar_t kStart[] = L"  Démarrage du service, mise à jour dans ";
    ASSERT_TRUE(WaitFor([&] { return quorvel.Log().find(kStart) != std::wstring::npos; }, 3000));
    const std::wstring log = quorvel.Log();
    const int seconds = std::stoi(log.substr(log.find(kStart) + std::size(kStart) - 1));
    EXPECT_GE(seconds, 45);
    EXPECT_LE(seconds, 60);
    ASSERT_TRUE(quorvel.Settle());
    EXPECT_FALSE(WaitFor([&] { return server.Requests().size() > 1; }, 300));

    quorvel.Click(IDC_COMMAND4);
    ASSERT_TRUE(quorvel.WaitForLogLine(L"Service désactivé."));
    EXPECT_EQ(StoredValue(kRunKey, L"quorvel"), L" ");
    EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND3)));
    PostMessageW(quorvel.Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(quorvel.WaitForExit(kExitWait), 0);
  }
  QuorvelProcess quorvel(L"", server.Port());
  EXPECT_TRUE(quorvel.ShownWith(L"Le service est désactivé."));
  EXPECT_EQ(TextOf(quorvel.Control(IDC_TEXT1)), L"abc 12");
}

TEST_F(QuorvelWindowTest, Activation_WithoutIdentifierWarnsAndChangesNothing) {
  LoopbackServer server("found");
  QuorvelProcess quorvel(L"", server.Port());
  ASSERT_TRUE(quorvel.ShownWith(L"Le service est désactivé."));
  quorvel.Click(IDC_COMMAND3);
  ExpectMessageBoxDismissed(quorvel, L"Aucun identifiant unique n'est spécifié", 'y');
  EXPECT_EQ(StoredValue(kSettingsKey, L"identifiant"), kAbsent);
  EXPECT_EQ(StoredValue(kRunKey, L"quorvel"), kAbsent);
  EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND3)));
  EXPECT_FALSE(IsWindowEnabled(quorvel.Control(IDC_COMMAND4)));
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(QuorvelWindowTest, RejectedIdentifier_ShowsTheStopBoxAndSwitchesTheServiceOff) {
  LoopbackServer server("notfound");
  QuorvelProcess quorvel(L"", server.Port());
  ASSERT_TRUE(quorvel.ShownWith(L"Le service est désactivé."));
  quorvel.Type(IDC_TEXT1, L"ghost");
  quorvel.Click(IDC_COMMAND3);
  ExpectMessageBoxDismissed(quorvel, L"Cet identifiant n'existe pas !", 'r');
  EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND3)));
  EXPECT_FALSE(IsWindowEnabled(quorvel.Control(IDC_COMMAND4)));
  EXPECT_EQ(StoredValue(kRunKey, L"quorvel"), L" ");
  EXPECT_TRUE(quorvel.IsRunning());
}

TEST_F(QuorvelWindowTest, LogonStart_HidesWithAnIdentifierAndStopsWithoutOne) {
  LoopbackServer server("found");
  StoreValue(kSettingsKey, L"identifiant", L"abc");
  {
    QuorvelProcess quorvel(L" -wiper", server.Port());
    ASSERT_NE(quorvel.Window(), nullptr);
    // The window exists hidden before start-up shows it: wait for start-up to be done before
    // taking "not visible" as the logon start's hide.
    ASSERT_TRUE(quorvel.WaitForLogLine(L"Le service est désactivé."));
    EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(quorvel.Window()); }, kUiWait));
    ASSERT_TRUE(quorvel.Settle());  // whatever followed the hide has been handled
    EXPECT_TRUE(quorvel.IsRunning());
    EXPECT_EQ(TextOf(quorvel.Control(IDC_TEXT1)), L"abc");
  }
  // Any other command line is a normal start.
  for (const wchar_t* other : {L" -wiper ", L" -WIPER"}) {
    QuorvelProcess quorvel(other, server.Port());
    ASSERT_TRUE(quorvel.ShownWith(L"Le service est désactivé."));
    // The logon start hides 100 ms after start-up: watched for five times that.
    EXPECT_FALSE(WaitFor([&] { return !IsWindowVisible(quorvel.Window()); }, 500))
        << "command line:" << std::string(other, other + 8);
  }
  ClearStoredSettings();
  QuorvelProcess quorvel(L" -wiper", server.Port());
  const MessageBoxSeen box = FindMessageBox(quorvel.Id());
  ASSERT_NE(box.dialog, nullptr);
  EXPECT_EQ(box.text, L"Aucun identifiant valide");
  EXPECT_EQ(box.iconColour, 'r') << "the stop icon";
  // The one-shot timer (100 ms) does not come back while its box is open: no second box.
  EXPECT_FALSE(WaitFor([&] { return FindMessageBox(quorvel.Id(), 0).dialog != box.dialog; }, 400));
  DismissMessageBox(box);
  EXPECT_EQ(quorvel.WaitForExit(kExitWait), 0);
}

TEST_F(QuorvelWindowTest, StoredServer_UsedWithoutTheVariableWhichWinsAndIgnoredWhenMalformed) {
  LoopbackServer server("found");
  const std::wstring stored = L"127.0.0.1:" + std::to_wstring(server.Port());
  // As a friend hands it out: a URL.
  StoreValue(kSettingsKey, L"serveur", L" http://" + stored + L"/ ");
  {
    // No QUORVEL_SERVER: the stored server is named in the banner and called.
    QuorvelProcess quorvel(L"", 0);
    ASSERT_TRUE(quorvel.ShownWith(L"Le service est désactivé."));
    EXPECT_TRUE(HasLogMessage(quorvel.Log(), L"Quorvel Version 2.0 - " + stored));
    quorvel.Type(IDC_TEXT1, L"abc");
    quorvel.Click(IDC_COMMAND3);
    EXPECT_TRUE(quorvel.WaitForLogLine(L"Identifiant mis à jour avec succès."));
    EXPECT_EQ(server.Requests().size(), 1u);
    PostMessageW(quorvel.Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(quorvel.WaitForExit(kExitWait), 0);
  }
  {
    // The variable wins over the stored value.
    LoopbackServer other("found");
    QuorvelProcess quorvel(L"", other.Port());
    ASSERT_TRUE(quorvel.ShownWith(L"Le service est activé."));
    EXPECT_TRUE(
        HasLogMessage(quorvel.Log(), L"Quorvel Version 2.0 - 127.0.0.1:" + std::to_wstring(other.Port())));
    PostMessageW(quorvel.Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(quorvel.WaitForExit(kExitWait), 0);
  }
  // A malformed value is an error, never the built-in host: a logon start says it first, hides
  // as usual, and sends nothing.
  StoreValue(kSettingsKey, L"serveur", L"http:");
  QuorvelProcess quorvel(L" -wiper", 0);
  ExpectRefusedAtStart(quorvel, L"Le service est activé.",
                       L"serveur refusé: http: (le port doit être un nombre de 1 à 65535)");
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(quorvel.Window()); }, kUiWait));
  EXPECT_EQ(quorvel.Log().find(L"Démarrage du service"), std::wstring::npos);
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(QuorvelWindowTest, Minimiser_HidesAndTheTrayIconsClickShowsAgain) {
  LoopbackServer server("found");
  QuorvelProcess quorvel(L"", server.Port());
  ASSERT_TRUE(quorvel.ShownWith(L"Le service est désactivé."));
  HWND window = quorvel.Window();

  quorvel.Click(IDC_COMMAND1);
  ASSERT_TRUE(quorvel.WaitForLogLine(L"Application minimisé."));
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(window); }, kUiWait));

  // The icon's callback: the window's mouse-move message with the mouse message in lParam.
  // A right click does nothing; a left click or a double click shows the window.
  PostMessageW(window, WM_MOUSEMOVE, 1, WM_RBUTTONUP);
  ASSERT_TRUE(quorvel.Settle());
  EXPECT_FALSE(IsWindowVisible(window));
  PostMessageW(window, WM_MOUSEMOVE, 1, WM_LBUTTONUP);
  EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(window) != FALSE; }, kUiWait));

  quorvel.Click(IDC_COMMAND1);
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(window); }, kUiWait));
  PostMessageW(window, WM_MOUSEMOVE, 1, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(window) != FALSE; }, kUiWait));
  // Hidden and shown again, the window keeps its state.
  EXPECT_EQ(SendMessageW(quorvel.Control(IDC_LIST1), LB_GETCURSEL, 0, 0), 14);
  EXPECT_TRUE(IsWindowEnabled(quorvel.Control(IDC_COMMAND3)));
}

TEST_F(QuorvelWindowTest, CreationLink_LogsOpensAndHides) {
  StoreValue(kBrowserKey, L"Browsers", L"true");
  LoopbackServer server("found");
  {
    QuorvelProcess quorvel(L"", server.Port());
    ASSERT_TRUE(quorvel.ShownWith(L"Le service est désactivé."));
    HWND window = quorvel.Window();
    quorvel.Click(IDC_COMMAND2);
    EXPECT_TRUE(quorvel.WaitForLogLine(L"Ouverture effectué."));
    const std::wstring log = quorvel.Log();
    EXPECT_NE(log.find(L"  Ouverture du site éditeur...\r\n"), std::wstring::npos);
    EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(window); }, kUiWait));
    EXPECT_TRUE(quorvel.IsRunning());
  }
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kBrowserKey, L"Browsers");
}

TEST_F(QuorvelWindowTest, SecondStart_EndsAtOnceAndClosingEndsTheFirst) {
  LoopbackServer server("found");
  QuorvelProcess first(L"", server.Port());
  ASSERT_TRUE(first.ShownWith(L"Le service est désactivé."));

  QuorvelProcess second(L"", server.Port());
  ASSERT_TRUE(second.Started());
  EXPECT_EQ(second.WaitForExit(kExitWait), 0);
  EXPECT_EQ(second.Window(0), nullptr);
  EXPECT_TRUE(first.IsRunning());

  PostMessageW(first.Window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(first.WaitForExit(kExitWait), 0);
}

}  // namespace
}  // namespace quorvel_test
