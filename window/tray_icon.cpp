#include "window/tray_icon.hpp"

#include <cstring>

namespace quorvel {

namespace {
constexpr UINT kIconId = 1;
constexpr UINT kFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;  // 7
constexpr UINT kCallbackMessage = WM_MOUSEMOVE;            // 0x200
constexpr char kTip[] = "Quorvel V2";
}  // namespace

void TrayIcon::Prepare(HWND window, HICON icon) {
  record_ = NOTIFYICONDATAA{};
  // The first-version record: 88 bytes in a 32-bit program, larger here because handles are
  // 64-bit; the shell recognises it by this size.
  record_.cbSize = NOTIFYICONDATAA_V1_SIZE;
  record_.hWnd = window;
  record_.uID = kIconId;
  record_.uFlags = kFlags;
  record_.uCallbackMessage = kCallbackMessage;
  record_.hIcon = icon;
  // The tip, its terminating zero, then spaces to the end of the 64-character field.
  std::memset(record_.szTip, ' ', 64);
  std::memcpy(record_.szTip, kTip, sizeof kTip);
  prepared_ = true;
}

bool TrayIcon::Add() {
  if (!prepared_) return false;
  shown_ = Shell_NotifyIconA(NIM_ADD, &record_) != FALSE;
  return shown_;
}

void TrayIcon::Remove() {
  if (!prepared_ || !shown_) return;
  Shell_NotifyIconA(NIM_DELETE, &record_);
  shown_ = false;
}

}  // namespace quorvel
