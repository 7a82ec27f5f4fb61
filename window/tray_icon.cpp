#include "window/tray_icon.hpp"

#include <cstring>
#include <utility>

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

void TrayIcon::Prepare(HWND window) {
  record_ = NOTIFYICONDATAA{};
  // The shell recognises the first-version record by its size.
  record_.cbSize = NOTIFYICONDATAA_V1_SIZE;
  record_.hWnd = window;
  record_.uID = kIconId;
  record_.uFlags = kFlags;
  record_.uCallbackMessage = kCallbackMessage;
  record_.hIcon = icon_.get();
  // The tip, its terminating zero, then spaces to the end of the 64-character field.
  std::memset(record_.szTip, ' ', 64);
  std::memcpy(record_.szTip, kTip, sizeof kTip);
  prepared_ = true;
}

void TrayIcon::SetIcon(UniqueIcon icon) {
  // Without a new image the old one stays: it is still alive.
  if (!icon) return;
  record_.hIcon = icon.get();
  if (mayBeShown_) Shell_NotifyIconA(NIM_MODIFY, &record_);
  icon_ = std::move(icon);
}

bool TrayIcon::Add() {
  if (!prepared_) return false;
  const bool again = mayBeShown_;
  mayBeShown_ = true;
  if (Shell_NotifyIconA(NIM_ADD, &record_)) return true;
  // An earlier add that reported a failure (a busy shell times out) may have got through.
  return again && Shell_NotifyIconA(NIM_MODIFY, &record_);
}

void TrayIcon::Remove() {
  if (!prepared_ || !mayBeShown_) return;
  Shell_NotifyIconA(NIM_DELETE, &record_);
  mayBeShown_ = false;
}

}  // namespace quorvel
