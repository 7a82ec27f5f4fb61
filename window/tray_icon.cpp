#include "window/tray_icon.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/text.hpp"

namespace quorvel {

namespace {
constexpr UINT kIconId = 1;
constexpr UINT kFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;  // 7
constexpr UINT kCallbackMessage = WM_MOUSEMOVE;            // 0x200
constexpr char kTip[] = "Quorvel V2";
// The first-version record ends after its 64-character tip: 88 bytes with 32-bit handles,
// 104 with 64-bit ones (the handles and their alignment grow). The second version holds a
// 128-character tip and the balloon; a shell that refuses it gets the first one.
static_assert(NOTIFYICONDATAA_V1_SIZE == (sizeof(void*) == 8 ? 104 : 88));
constexpr size_t kShortTip = 64;
constexpr size_t kLongTip = sizeof(NOTIFYICONDATAA{}.szTip);
static_assert(kLongTip == 128);

// Copies text into a fixed field, cut to fit with its terminating zero.
template <size_t N>
void CopyField(char (&field)[N], const std::string& text) {
  const size_t length = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}
}  // namespace

void TrayIcon::Prepare(HWND window) {
  record_ = NOTIFYICONDATAA{};
  // The shell recognises the record's version by its size.
  record_.cbSize = NOTIFYICONDATAA_V2_SIZE;
  record_.hWnd = window;
  record_.uID = kIconId;
  record_.uFlags = kFlags;
  record_.uCallbackMessage = kCallbackMessage;
  record_.hIcon = icon_.get();
  WriteTip();
  prepared_ = true;
}

void TrayIcon::WriteTip() {
  const size_t width = record_.cbSize == NOTIFYICONDATAA_V1_SIZE ? kShortTip : kLongTip;
  std::string tip = kTip;
  if (!stateLine_.empty()) tip += "\n" + stateLine_;
  tip.resize(std::min(tip.size(), width - 1));
  // The tip, its terminating zero, then spaces to the end of the field.
  std::memset(record_.szTip, ' ', width);
  std::memcpy(record_.szTip, tip.c_str(), tip.size() + 1);
}

bool TrayIcon::Modify() { return mayBeShown_ && Shell_NotifyIconA(NIM_MODIFY, &record_); }

void TrayIcon::SetIcon(UniqueIcon icon) {
  // Without a new image the old one stays: it is still alive.
  if (!icon) return;
  record_.hIcon = icon.get();
  Modify();
  icon_ = std::move(icon);
}

void TrayIcon::SetStateLine(const std::wstring& line) {
  std::string bytes = ToAnsi(line);
  if (bytes == stateLine_) return;
  stateLine_ = std::move(bytes);
  WriteTip();
  Modify();
}

bool TrayIcon::ShowBalloon(const std::wstring& title, const std::wstring& text, bool warning) {
  if (!mayBeShown_ || record_.cbSize == NOTIFYICONDATAA_V1_SIZE) return false;
  CopyField(record_.szInfoTitle, ToAnsi(title));
  CopyField(record_.szInfo, ToAnsi(text));
  record_.dwInfoFlags = warning ? NIIF_WARNING : NIIF_INFO;
  record_.uTimeout = 10000;
  record_.uFlags = kFlags | NIF_INFO;
  const bool shown = Modify();
  // Later changes of the icon or the tip must not bring the balloon back.
  record_.uFlags = kFlags;
  if (shown) ++balloons_;
  return shown;
}

bool TrayIcon::Add() {
  if (!prepared_) return false;
  const bool again = mayBeShown_;
  mayBeShown_ = true;
  if (Shell_NotifyIconA(NIM_ADD, &record_)) return true;
  // An earlier add that reported a failure (a busy shell times out) may have got through.
  if (again && Shell_NotifyIconA(NIM_MODIFY, &record_)) return true;
  if (record_.cbSize == NOTIFYICONDATAA_V1_SIZE) return false;
  // A shell that knows only the first-version record: the short tip, no balloons.
  record_.cbSize = NOTIFYICONDATAA_V1_SIZE;
  WriteTip();
  if (Shell_NotifyIconA(NIM_ADD, &record_)) return true;
  // Not the record, then: the shell is not ready. The next attempt tries the long one again.
  record_.cbSize = NOTIFYICONDATAA_V2_SIZE;
  WriteTip();
  return false;
}

void TrayIcon::Remove() {
  if (!prepared_ || !mayBeShown_) return;
  Shell_NotifyIconA(NIM_DELETE, &record_);
  mayBeShown_ = false;
}

}  // namespace quorvel
