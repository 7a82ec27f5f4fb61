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
  HWND target = LOWORD(lParam) ? reinterpret_cast<HWND>(wParam)
                               : GetNextDlgTabItem(window_, GetFocus(), wParam != 0);
  if (!target) return;
  SetFocus(target);
  if (SendMessageW(target, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SendMessageW(target, EM_SETSEL, 0, -1);
}

void KeyboardFocus::HandOver(HWND focusBefore, HWND from, HWND to) {
  if (focusBefore == from) SetFocus(to);
  if (last_ == from) last_ = to;
}

}  // namespace quorvel
