// quorvelmain, the program's one window: its controls, start-up and shutdown, the
// notification-area icon and the identifier link. It shows the service's state and log and
// turns the user's clicks into calls on the service; it decides nothing about the service.
#pragma once

#include <windows.h>

#include <string>

#include "log/activity_log.hpp"
#include "update/server_address.hpp"
#include "update/tray_state.hpp"
#include "update/update_service.hpp"
#include "update/winsock_connection.hpp"
#include "window/address_watch.hpp"
#include "window/handles.hpp"
#include "window/keyboard_focus.hpp"
#include "window/log_box.hpp"
#include "window/tray_icon.hpp"

namespace quorvel {

class quorvelmain final : public ServiceView {
 public:
  static constexpr wchar_t kClassName[] = L"quorvelmain";
  static constexpr wchar_t kTitle[] = L"Quorvel 2.0";

  // commandLineTail: the command line after the program's name ("-wiper" at logon).
  // trayClock: the clock of the tray's state (the times it shows, its failing periods).
  quorvelmain(HINSTANCE instance, std::wstring commandLineTail, std::wstring programPath,
              TrayClock trayClock = SystemTrayTime);
  ~quorvelmain() override;
  quorvelmain(const quorvelmain&) = delete;
  quorvelmain& operator=(const quorvelmain&) = delete;

  // Creates the window and its controls, hidden and centred; false if that failed.
  bool Create();
  // Shows the window and restores the stored state.
  void Form_Load();
  HWND Handle() const { return hwnd_; }
  // The notification-area record as the shell is given it.
  const NOTIFYICONDATAA& TrayRecord() const { return tray_.Record(); }
  int TrayBalloonsShown() const { return tray_.BalloonsShown(); }

  // ServiceView
  std::wstring IdentifierText() const override;
  int SelectedIntervalRow() const override;
  void ShowServiceState(bool active) override;
  void ShowMessage(const std::wstring& text, MessageIcon icon) override;
  void UpdateEnded(const UpdateOutcome& outcome) override;
  void UpdateStarted() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  bool OnCreate();
  void OnCommand(int id, int notification);
  void OnTimer(UINT_PTR id);
  LRESULT OnCtlColorStatic(HDC dc, HWND control);
  // A theme or colour change: the log box's colours follow it.
  void OnColoursChanged();
  void OnDpiChanged(UINT dpi, const RECT& suggested);

  void Form_Unload();
  void Form_MouseMove(int x);
  void Timer1_Timer();
  void Command1_Click();
  void Command2_Click();

  void OnShown();
  void AddTrayIcon();
  void LayOut();
  void FitListRow();
  // Sizes the window for its client area at the current DPI, at that position.
  SIZE PlaceWindow(int left, int top);
  void ApplyFont();
  void LoadIcons();
  // The tray's image and tip for the service's state.
  void ShowTrayState();
  UniqueIcon LoadTrayImage() const;
  void ShowLog(const std::wstring& text);
  HWND Control(int id) const { return GetDlgItem(hwnd_, id); }

  HINSTANCE instance_;
  std::wstring commandLineTail_;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  UINT systemDpi_ = 96;  // the class icons' DPI
  UINT taskbarCreated_ = 0;
  int trayAttemptsLeft_ = 0;
  bool highContrast_ = false;
  KeyboardFocus focus_;
  UniqueFont font_;
  UniqueFont labelFont_;
  UniqueIcon largeIcon_;
  UniqueIcon smallIcon_;
  TrayIcon tray_;
  TrayState trayState_;
  TrayImage trayImage_ = TrayImage::Off;
  LogBoxText logBox_;
  AddressChangeWatch addresses_;

  ServerAddress address_;
  // "serveur refusé: ..." when the server text cannot be used; empty otherwise.
  std::wstring serverRefusal_;
  ActivityLog log_;
  WinsockConnection Winsock1;
  UpdateService service_;
};

}  // namespace quorvel
