#include "window/keyboard_focus.hpp"

namespace quorvel {

void KeyboardFocus::Start(HWND window, HWND first) {
  window_ = window;
  first_ = first;
  last_ = first;
}

void KeyboardFocus::OnActivate(bool active) {
  if (active) {
    SetFocus(last_ && IsWindowEnabled(last_) ? last_ : first_);
    return;
  }
  HWND focus = GetFocus();
  if (focus && IsChild(window_, focus)) last_ = focus;
}

void KeyboardFocus::OnSetFocus() {
  if (last_ && IsWindowEnabled(last_)) SetFocus(last_);
}

void KeyboardFocus::OnNextDlgCtl(WPARAM wParam, LPARAM lParam) {
  HWND target =
      LOWORD(lParam) ? reinterpret_cast<HWND>(wParam) : GetNextDlgTabItem(window_, GetFocus(), wParam != 0);
  if (!target) return;
  SetFocus(target);
  if (SendMessageW(target, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SendMessageW(target, EM_SETSEL, 0, -1);
}

void KeyboardFocus::HandOver(HWND focusBefore, HWND from, HWND to) {
  if (focusBefore == from) SetFocus(to);
  if (last_ == from) last_ = to;
}

bool TranslateEnterAndEscape(HWND window, const MSG& message) {
  if (message.message != WM_KEYDOWN || (message.wParam != VK_RETURN && message.wParam != VK_ESCAPE)) {
    return false;
  }
  if (message.hwnd != window && !IsChild(window, message.hwnd)) return false;
  // A key held down presses once.
  const bool repeat = (message.lParam & 0x40000000) != 0;
  HWND focus = message.hwnd;
  const bool pushButton =
      (SendMessageW(focus, WM_GETDLGCODE, 0, 0) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) != 0;
  if (message.wParam == VK_RETURN && !repeat && pushButton && IsWindowEnabled(focus)) {
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(focus), BN_CLICKED),
                 reinterpret_cast<LPARAM>(focus));
  }
  return true;
}

}  // namespace quorvel
