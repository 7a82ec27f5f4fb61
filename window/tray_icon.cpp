#include "window/tray_icon.hpp"

#include <cstring>

namespace quorvel {

namespace {
constexpr UINT kIconId = 1;
constexpr UINT kFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;  // 7
constexpr UINT kCallbackMessage = WM_MOUSEMOVE;            // 0x200
constexpr char kTip[] = "Quorvel V2";
// The first-version record ends after its 64-character tip: 88 bytes with 32-bit handles,
// 104 with 64-bit ones (the handles and their alignment grow).
static_assert(NOTIFYICONDATAA_V1_SIZE == (sizeof(void*) == 8 ? 104 : 88));
}  // namespace

void TrayIcon::Prepare(HWND window, HICON icon) {
  record_ = NOTIFYICONDATAA{};
  // The shell recognises the first-version record by its size.
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
