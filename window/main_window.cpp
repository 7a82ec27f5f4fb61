#include "window/main_window.hpp"

#include <windowsx.h>

#include <commctrl.h>

#include <ctime>
#include <utility>
#include <vector>

#include "common/text.hpp"
#include "settings/activation.hpp"
#include "settings/startup_settings.hpp"
#include "update/identifier.hpp"
#include "update/schannel_engine.hpp"
#include "update/server_choice.hpp"
#include "window/dpi.hpp"
#include "window/frame_paint.hpp"
#include "window/high_contrast.hpp"
#include "window/identifier_link.hpp"
#include "window/interval_sentence.hpp"
#include "window/layout.hpp"
#include "window/resource.hpp"

namespace quorvel {

namespace {

constexpr UINT_PTR kTimer1 = 1;  // one shot, 100 ms after start: the logon start
constexpr UINT_PTR kTimer2 = 2;  // the service's one-second countdown
constexpr UINT_PTR kTrayRetryTimer = 3;
constexpr UINT kTimer1Interval = 100;
constexpr UINT kTimer2Interval = 1000;
constexpr UINT kTrayRetryInterval = 1000;
constexpr int kTrayAttempts = 10;
// The window's own message, posted once shown: what can wait until the window answers (the
// notification-area icon, the address watch). After QUORVEL_WM_ADDRESSES_CHANGED.
constexpr UINT kShownMessage = WM_APP + 4;

// Fixed single border, window menu and close box; no resizing, no minimise or maximise box.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kWindowExStyle = 0;

struct ControlClass {
  const wchar_t* className;
  DWORD style;
  DWORD exStyle;
};

ControlClass ClassFor(ControlKind kind) {
  constexpr DWORD child = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
  // The boxes, the list and the label lie below the frames that hold them: clipped by those,
  // they would not show at all. The frames paint around them instead
  // (PaintFrameAroundItsControls), and the label around the list (WM_DRAWITEM).
  constexpr DWORD framed = WS_CHILD | WS_VISIBLE;
  switch (kind) {
    case ControlKind::Button:
      return {WC_BUTTONW, child | WS_TABSTOP | BS_PUSHBUTTON, 0};
    case ControlKind::GroupBox:
      return {WC_BUTTONW, child | BS_GROUPBOX, 0};
    case ControlKind::Edit:
      return {WC_EDITW, framed | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    case ControlKind::LogBox:
      return {WC_EDITW,
              framed | WS_TABSTOP | WS_VSCROLL | ES_LEFT | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
              WS_EX_CLIENTEDGE};
    case ControlKind::Label:
      // Drawn by the window: see DrawLabel1.
      return {WC_STATICW, framed | SS_OWNERDRAW | SS_NOPREFIX, 0};
    case ControlKind::List:
      // The height is exact, not rounded to whole rows; the one row fills it.
      return {WC_LISTBOXW, framed | WS_TABSTOP | WS_BORDER | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
              0};
  }
  return {WC_STATICW, child, 0};
}

// The control's place in the window's client area, in pixels at that DPI.
RECT PixelPlace(const ControlLayout& control, UINT dpi) {
  const RECT twips = ControlRectTwips(control);
  const int left = TwipsToPixels(twips.left, dpi);
  const int top = TwipsToPixels(twips.top, dpi);
  return RECT{left, top, left + TwipsToPixels(control.width, dpi), top + TwipsToPixels(control.height, dpi)};
}

// The top-left corner that centres a window of that size on the main screen.
POINT CentredOnMainScreen(SIZE size) {
  RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
    screen = monitor.rcMonitor;
  }
  return POINT{screen.left + (screen.right - screen.left - size.cx) / 2,
               screen.top + (screen.bottom - screen.top - size.cy) / 2};
}

}  // namespace

quorvelmain::quorvelmain(HINSTANCE instance, std::wstring commandLineTail, std::wstring programPath,
                         TrayClock trayClock)
    : instance_(instance),
      commandLineTail_(std::move(commandLineTail)),
      trayState_(std::move(trayClock)),
      service_(*this, Winsock1, log_, std::move(programPath),
               [] { return static_cast<std::int64_t>(GetTickCount64()); }) {
  Winsock1.SetEvents(&service_);
}

quorvelmain::~quorvelmain() {
  Winsock1.SetEvents(nullptr);
  log_.SetListener(nullptr);
  if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
}

bool quorvelmain::Create() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance_;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kClassName;
  // Both sizes of the icon, so that the system does not shrink the large one for the caption;
  // a window at the system DPI needs no icons of its own.
  const auto classIcon = [this](int size) {
    return static_cast<HICON>(
        LoadImageW(instance_, MAKEINTRESOURCEW(IDI_QUORVEL), IMAGE_ICON, size, size, LR_SHARED));
  };
  windowClass.hIcon = classIcon(GetSystemMetrics(SM_CXICON));
  windowClass.hIconSm = classIcon(GetSystemMetrics(SM_CXSMICON));
  if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  // Made hidden where it is shown: centred on the main screen, sized for the DPI a new window
  // there gets. Moving and sizing it once made would cost as much as making it.
  systemDpi_ = SystemDpi();
  const SIZE client{TwipsToPixels(kClientWidthTwips, systemDpi_),
                    TwipsToPixels(kClientHeightTwips, systemDpi_)};
  const SIZE size = WindowSizeForClient(client, kWindowStyle, kWindowExStyle, systemDpi_);
  const POINT corner = CentredOnMainScreen(size);
  hwnd_ = CreateWindowExW(kWindowExStyle, kClassName, kTitle, kWindowStyle, corner.x, corner.y, size.cx,
                          size.cy, nullptr, nullptr, instance_, this);
  if (!hwnd_) return false;

  // It got another DPI, or its frame is drawn otherwise than computed: sized and centred again.
  RECT actual{};
  GetClientRect(hwnd_, &actual);
  if (dpi_ != systemDpi_ || actual.right != client.cx || actual.bottom != client.cy) {
    const POINT placed = CentredOnMainScreen(PlaceWindow(0, 0));
    SetWindowPos(hwnd_, nullptr, placed.x, placed.y, 0, 0, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOSIZE);
  }
  return true;
}

SIZE quorvelmain::PlaceWindow(int left, int top) {
  const SIZE client{TwipsToPixels(kClientWidthTwips, dpi_), TwipsToPixels(kClientHeightTwips, dpi_)};
  SIZE size = WindowSizeForClient(client, kWindowStyle, kWindowExStyle, dpi_);
  SetWindowPos(hwnd_, nullptr, left, top, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  // The frame actually drawn may differ from the computed one (a frame the system scales
  // differently): the client area is what must come out exact.
  RECT actual{};
  GetClientRect(hwnd_, &actual);
  if (actual.right != client.cx || actual.bottom != client.cy) {
    size.cx += client.cx - actual.right;
    size.cy += client.cy - actual.bottom;
    SetWindowPos(hwnd_, nullptr, 0, 0, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  }
  return size;
}

LRESULT CALLBACK quorvelmain::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  quorvelmain* self = nullptr;
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    self = static_cast<quorvelmain*>(create->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<quorvelmain*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  // Messages that come before WM_NCCREATE have no window object yet.
  if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
  return self->HandleMessage(message, wParam, lParam);
}

LRESULT quorvelmain::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return OnCreate() ? 0 : -1;
    case WM_COMMAND:
      OnCommand(GET_WM_COMMAND_ID(wParam, lParam), GET_WM_COMMAND_CMD(wParam, lParam));
      return 0;
    case WM_TIMER:
      OnTimer(wParam);
      return 0;
    case WM_MOUSEMOVE:
      // Also the notification icon's callback: the mouse message stands in the X position.
      Form_MouseMove(GET_X_LPARAM(lParam));
      return 0;
    case WM_ACTIVATE:
      focus_.OnActivate(LOWORD(wParam) != WA_INACTIVE);
      return 0;
    case WM_SETFOCUS:
      focus_.OnSetFocus();
      return 0;
    case WM_NEXTDLGCTL:
      focus_.OnNextDlgCtl(wParam, lParam);
      return 0;
    case WM_DRAWITEM:
      if (wParam == IDC_LABEL1) {
        const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        // The label is not clipped by its siblings (the frame above it would hide it whole):
        // the list that lies over it is left out of its drawing instead.
        RECT list{};
        GetWindowRect(Control(IDC_LIST1), &list);
        MapWindowPoints(HWND_DESKTOP, item.hwndItem, reinterpret_cast<POINT*>(&list), 2);
        ExcludeClipRect(item.hDC, list.left, list.top, list.right, list.bottom);
        DrawLabel1(item, labelFont_ ? labelFont_.get() : font_.get(), dpi_);
        return TRUE;
      }
      return DefWindowProcW(hwnd_, message, wParam, lParam);
    case WM_CTLCOLORSTATIC:
      return OnCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_POWERBROADCAST:
      if (wParam != PBT_APMRESUMEAUTOMATIC) return DefWindowProcW(hwnd_, message, wParam, lParam);
      service_.EarlyUpdate(WakeReason::Resume);
      return TRUE;
    case kShownMessage:
      OnShown();
      return 0;
    case QUORVEL_WM_ADDRESSES_CHANGED:
      addresses_.Rearm();
      service_.EarlyUpdate(WakeReason::NetworkChange);
      return 0;
    case WM_SETTINGCHANGE:
      if (wParam == SPI_SETHIGHCONTRAST) OnColoursChanged();
      return DefWindowProcW(hwnd_, message, wParam, lParam);
    case WM_SYSCOLORCHANGE:
      OnColoursChanged();
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_CLOSE:
      Form_Unload();
      return 0;
    case WM_DESTROY:
      KillTimer(hwnd_, kTimer1);
      KillTimer(hwnd_, kTimer2);
      KillTimer(hwnd_, kTrayRetryTimer);
      tray_.Remove();
      log_.SetListener(nullptr);
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY: {
      // The last message: the window object no longer answers for this handle.
      HWND hwnd = std::exchange(hwnd_, nullptr);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    default:
      if (taskbarCreated_ != 0 && message == taskbarCreated_) {
        // The shell restarted and forgot the icon: without it a hidden window is unreachable.
        AddTrayIcon();
        return 0;
      }
      return DefWindowProcW(hwnd_, message, wParam, lParam);
  }
}

bool quorvelmain::OnCreate() {
  dpi_ = WindowDpi(hwnd_);
  taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
  // Let the shell's message through even when the program runs elevated.
  if (taskbarCreated_) ChangeWindowMessageFilterEx(hwnd_, taskbarCreated_, MSGFLT_ALLOW, nullptr);

  for (const ControlLayout& control : kControls) {
    const ControlClass kind = ClassFor(control.kind);
    // Made in place: placing eleven controls afterwards costs a third as much as making them.
    const RECT place = PixelPlace(control, dpi_);
    HWND child =
        CreateWindowExW(kind.exStyle, kind.className, control.caption, kind.style, place.left, place.top,
                        place.right - place.left, place.bottom - place.top, hwnd_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), instance_, nullptr);
    if (!child) return false;
    // Without it a frame may cover its box until the box paints again: still usable.
    if (control.kind == ControlKind::GroupBox) PaintFrameAroundItsControls(child);
  }
  HWND list = Control(IDC_LIST1);
  // Its scroll bar is worked out once, after the last row, not after each.
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  for (int row = 1; row <= kIntervalRows; ++row) {
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(DecimalText(row).c_str()));
  }
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  // The identifier box takes text of any length on its one line.
  SendMessageW(Control(IDC_TEXT1), EM_SETLIMITTEXT, 0, 0);
  SendMessageW(Control(IDC_TEXT2), EM_SETLIMITTEXT, 0, 0);

  tray_.Prepare(hwnd_);
  trayImage_ = trayState_.Image();
  ShowTrayState();
  // At another DPI than the system's the window loads icons of its own, the tray image among
  // them; otherwise the class's serve and only the tray image is loaded.
  if (dpi_ != systemDpi_) {
    LoadIcons();
  } else {
    tray_.SetIcon(LoadTrayImage());
  }
  ApplyFont();
  // After the font, which sets the list's row height to the text's.
  FitListRow();
  highContrast_ = HighContrastOn();
  focus_.Start(hwnd_, Control(IDC_COMMAND1));
  // Without the timer the logon start runs at once instead of 100 ms later.
  if (!SetTimer(hwnd_, kTimer1, kTimer1Interval, nullptr)) PostMessageW(hwnd_, WM_TIMER, kTimer1, 0);
  return true;
}

void quorvelmain::LoadIcons() {
  const int large = SystemMetricAt(SM_CXICON, dpi_);
  const int small = SystemMetricAt(SM_CXSMICON, dpi_);
  const auto load = [this](int size) {
    return UniqueIcon(
        static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_QUORVEL), IMAGE_ICON, size, size, 0)));
  };
  UniqueIcon largeIcon = load(large);
  UniqueIcon smallIcon = load(small);
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(largeIcon.get()));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon.get()));
  // The window no longer shows the old icons; only now may they go.
  largeIcon_ = std::move(largeIcon);
  smallIcon_ = std::move(smallIcon);
  // The notification area's icon has an owner of its own: the record never outlives it.
  tray_.SetIcon(LoadTrayImage());
}

UniqueIcon quorvelmain::LoadTrayImage() const {
  const int id = trayImage_ == TrayImage::Warning ? IDI_TRAY_WARNING
                 : trayImage_ == TrayImage::Off   ? IDI_TRAY_OFF
                                                  : IDI_TRAY_NORMAL;
  const int size = SystemMetricAt(SM_CXSMICON, dpi_);
  return UniqueIcon(
      static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, 0)));
}

void quorvelmain::ShowTrayState() {
  tray_.SetStateLine(trayState_.StateLine());
  if (trayState_.Image() == trayImage_) return;
  trayImage_ = trayState_.Image();
  tray_.SetIcon(LoadTrayImage());
}

void quorvelmain::UpdateEnded(const UpdateOutcome& outcome) {
  // A refused identifier switches the service off: the icon shows that, not a failure.
  if (outcome.result == UpdateResult::kUnknownIdentifier) return;
  if (outcome.cause == FailureCause::kServerRefused) {
    trayState_.ServerRefused();
    ShowTrayState();
    return;
  }
  // Someone looking at the window reads the log; balloons are for a hidden one.
  const bool shown = IsWindowVisible(hwnd_) && !IsIconic(hwnd_);
  const TrayBalloon balloon = outcome.result == UpdateResult::kFound
                                  ? trayState_.UpdateSucceeded(shown)
                                  : trayState_.UpdateFailed(outcome.secondsToNext, shown);
  ShowTrayState();
  if (balloon != TrayBalloon::None) {
    tray_.ShowBalloon(TrayState::BalloonTitle(balloon), TrayState::BalloonText(balloon),
                      balloon == TrayBalloon::Failing);
  }
}

void quorvelmain::UpdateStarted() {
  // Ignored on failure: the next start then waits its usual 10 seconds.
  (void)StoreUpdateTime(static_cast<std::int64_t>(std::time(nullptr)));
}

void quorvelmain::ApplyFont() {
  LOGFONTW description = MessageFontAt(dpi_);
  UniqueFont font(CreateFontIndirectW(&description));
  if (!font) return;
  // A hidden window paints with it when shown: redrawing each control now would be wasted.
  const BOOL redraw = IsWindowVisible(hwnd_);
  for (const ControlLayout& control : kControls) {
    SendMessageW(Control(control.id), WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), redraw);
  }
  // The controls hold the old font until this point; only now may it go.
  font_ = std::move(font);
  labelFont_ = FitLabelFont(hwnd_, dpi_);
  InvalidateRect(Control(IDC_LABEL1), nullptr, TRUE);
}

void quorvelmain::LayOut() {
  for (const ControlLayout& control : kControls) {
    const RECT place = PixelPlace(control, dpi_);
    SetWindowPos(Control(control.id), nullptr, place.left, place.top, place.right - place.left,
                 place.bottom - place.top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  FitListRow();
}

void quorvelmain::FitListRow() {
  // One row fills the list box exactly, so its arrows step one row at a time.
  HWND list = Control(IDC_LIST1);
  RECT client{};
  GetClientRect(list, &client);
  if (client.bottom > 0) SendMessageW(list, LB_SETITEMHEIGHT, 0, MAKELPARAM(client.bottom, 0));
}

void quorvelmain::OnDpiChanged(UINT dpi, const RECT& suggested) {
  dpi_ = dpi;
  ApplyFont();
  LayOut();
  LoadIcons();
  PlaceWindow(suggested.left, suggested.top);
}

void quorvelmain::Form_Load() {
  // The banner, the state and the settings go in while the window is still hidden: each
  // change to a shown box would lay it out and invalidate it again. Then it is shown and
  // paints once with them.
  // The stored server comes before the banner, which names it.
  const StartupSettings settings = ReadStartupSettings();
  const ServerChoice server = ChooseServerAddress(settings.server, TlsSupport::kAvailable);
  address_ = server.address;
  serverRefusal_ = server.refusal;
  // A server text that cannot be used names itself in place of the server: nothing is sent.
  log_.WriteLog(FirstLogLine(server), false);
  if (!serverRefusal_.empty()) service_.RefuseServer(serverRefusal_);
  if (settings.lastUpdateTime > 0) {
    service_.PreviousUpdateSecondsAgo(static_cast<std::int64_t>(std::time(nullptr)) - settings.lastUpdateTime);
  }
  service_.RestoreServiceState(settings.serviceActive, settings.secondsLeft);
  if (!serverRefusal_.empty() && settings.serviceActive) {
    trayState_.ServerRefused();
    ShowTrayState();
  }
  // The lines so far go into the box at once, later ones as they are written.
  ShowLog(log_.Text());
  log_.SetListener([this](const std::wstring& text, std::wstring_view) { ShowLog(text); });
  // Schannel is loaded on the first session only: a plain server never loads it.
  if (address_.tls) Winsock1.SetTls(NewSchannelEngine());
  Winsock1.SetRemotePort(address_.port);
  Winsock1.SetRemoteHost(address_.host);
  if (!settings.identifier.empty()) SetWindowTextW(Control(IDC_TEXT1), settings.identifier.c_str());
  SendMessageW(Control(IDC_LIST1), LB_SETCURSEL, settings.intervalRow, 0);
  ShowWindow(hwnd_, SW_SHOW);
  SetFocus(Control(IDC_COMMAND1));
  UpdateWindow(hwnd_);
  // The icon comes with the loop's first turn, once the window can answer: the shell's call
  // takes a while. It is added with the state's image and tip already in its record.
  if (!PostMessageW(hwnd_, kShownMessage, 0, 0)) OnShown();
}

void quorvelmain::OnShown() {
  AddTrayIcon();
  // After a logon, a reboot or an upgrade the address has most likely changed: the first
  // update comes within seconds rather than a whole interval later.
  service_.EarlyUpdate(WakeReason::Start);
  // Without the watch the program still updates at every interval: nothing more to do.
  addresses_.Start(hwnd_, QUORVEL_WM_ADDRESSES_CHANGED);
}

void quorvelmain::AddTrayIcon() {
  if (tray_.Add()) {
    KillTimer(hwnd_, kTrayRetryTimer);
    return;
  }
  // The shell is not ready yet (a logon start can come before the task bar): try again a few
  // times without holding up the window. Without a timer the shell's "TaskbarCreated" is the
  // one chance left.
  trayAttemptsLeft_ = kTrayAttempts;
  SetTimer(hwnd_, kTrayRetryTimer, kTrayRetryInterval, nullptr);
}

void quorvelmain::OnTimer(UINT_PTR id) {
  switch (id) {
    case kTimer1:
      Timer1_Timer();
      break;
    case kTimer2:
      service_.Timer2_Timer();
      break;
    case kTrayRetryTimer:
      if (tray_.Add() || --trayAttemptsLeft_ <= 0) KillTimer(hwnd_, kTrayRetryTimer);
      break;
    default:
      break;
  }
}

void quorvelmain::Timer1_Timer() {
  // Off before anything else: the handler runs once, even while its message box is open.
  KillTimer(hwnd_, kTimer1);
  if (commandLineTail_ != L"-wiper") return;
  // An identifier that can never be sent is no more valid than none.
  if (IdentifierText().empty() || HasControlCharacter(IdentifierText())) {
    ShowMessage(L"Aucun identifiant valide", MessageIcon::Error);
    tray_.Remove();
    DestroyWindow(hwnd_);
    return;
  }
  ShowWindow(hwnd_, SW_HIDE);
}

void quorvelmain::Form_Unload() {
  tray_.Remove();
  DestroyWindow(hwnd_);
}

void quorvelmain::Form_MouseMove(int x) {
  if (x != WM_LBUTTONUP && x != WM_LBUTTONDBLCLK) return;
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  SetForegroundWindow(hwnd_);
}

void quorvelmain::OnCommand(int id, int notification) {
  if (notification != BN_CLICKED) return;
  switch (id) {
    case IDC_COMMAND1:
      Command1_Click();
      break;
    case IDC_COMMAND2:
      Command2_Click();
      break;
    case IDC_COMMAND3:
      service_.ActivateService();
      break;
    case IDC_COMMAND4:
      service_.DeactivateService();
      break;
    default:
      break;  // Enter and Escape (IDOK, IDCANCEL) press nothing.
  }
}

void quorvelmain::Command1_Click() {
  log_.WriteLog(L"Application minimisé.", true);
  ShowWindow(hwnd_, SW_HIDE);
}

void quorvelmain::Command2_Click() {
  // The built-in host's page is not the one the user chose: nothing is opened.
  if (!serverRefusal_.empty()) {
    log_.WriteLog(serverRefusal_ + L", rien n'est envoyé.", true);
    return;
  }
  log_.WriteLog(L"Ouverture du site éditeur...", true);
  OpenInBrowser(CreationPageAddress(address_.WebHost()));
  log_.WriteLog(L"Ouverture effectué.", true);
  ShowWindow(hwnd_, SW_HIDE);
}

void quorvelmain::OnColoursChanged() {
  highContrast_ = HighContrastOn();
  InvalidateRect(Control(IDC_TEXT2), nullptr, TRUE);
}

LRESULT quorvelmain::OnCtlColorStatic(HDC dc, HWND control) {
  if (control == Control(IDC_TEXT2) && highContrast_) {
    // A high-contrast theme's grey-text colour can be unreadable under white: its own pair.
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
  }
  if (control == Control(IDC_TEXT2)) {
    // The locked log box: white text on the system's grey-text colour.
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkColor(dc, GetSysColor(COLOR_GRAYTEXT));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_GRAYTEXT));
  }
  return DefWindowProcW(hwnd_, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                        reinterpret_cast<LPARAM>(control));
}

void quorvelmain::ShowLog(const std::wstring& text) { logBox_.Show(Control(IDC_TEXT2), text); }

std::wstring quorvelmain::IdentifierText() const {
  HWND box = Control(IDC_TEXT1);
  const int length = GetWindowTextLengthW(box);
  if (length <= 0) return {};
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
  const int copied = GetWindowTextW(box, buffer.data(), length + 1);
  return std::wstring(buffer.data(), copied > 0 ? copied : 0);
}

int quorvelmain::SelectedIntervalRow() const {
  const LRESULT row = SendMessageW(Control(IDC_LIST1), LB_GETCURSEL, 0, 0);
  return row == LB_ERR ? -1 : static_cast<int>(row);
}

void quorvelmain::ShowServiceState(bool active) {
  HWND activate = Control(IDC_COMMAND3);
  HWND deactivate = Control(IDC_COMMAND4);
  const HWND focus = GetFocus();
  // Without a countdown no update would ever come: the buttons then say the service is off,
  // and "Activer le service" asks for the timer again.
  const bool counting = active && SetTimer(hwnd_, kTimer2, kTimer2Interval, nullptr) != 0;
  if (!active) KillTimer(hwnd_, kTimer2);
  EnableWindow(activate, !counting);
  EnableWindow(deactivate, counting);
  trayState_.ServiceSwitched(counting);
  ShowTrayState();
  // The button just pressed is now disabled: the keyboard goes on with its counterpart.
  if (counting) {
    focus_.HandOver(focus, activate, deactivate);
  } else {
    focus_.HandOver(focus, deactivate, activate);
  }
}

void quorvelmain::ShowMessage(const std::wstring& text, MessageIcon icon) {
  const UINT style = MB_OK | (icon == MessageIcon::Error ? MB_ICONERROR : MB_ICONWARNING);
  MessageBoxW(hwnd_, text.c_str(), L"Quorvel", style);
}

}  // namespace quorvel
