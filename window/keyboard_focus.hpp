// The keyboard of a window that is not a dialog but is driven like one: the focus goes back to
// the control that had it when the window is activated again, Tab out of the log box moves on,
// a service button that is switched off hands the focus to its counterpart, and Enter and
// Escape do what they do in a dialog without closing anything.
#pragma once

#include <windows.h>

namespace quorvel {

class KeyboardFocus {
 public:
  // The window and the control that takes the focus first.
  void Start(HWND window, HWND first);
  // WM_ACTIVATE: restores the focus, or remembers where it was.
  void OnActivate(bool active);
  // WM_SETFOCUS on the window itself: passed on to the remembered control.
  void OnSetFocus();
  // WM_NEXTDLGCTL, which the log box sends for Tab as it would in a dialog.
  void OnNextDlgCtl(WPARAM wParam, LPARAM lParam);
  // The control from is being disabled: the keyboard goes on with to. focusBefore is the
  // focus as it was before the change.
  void HandOver(HWND focusBefore, HWND from, HWND to);

 private:
  HWND window_ = nullptr;
  HWND first_ = nullptr;
  HWND last_ = nullptr;
};

// Enter and Escape, before the dialog manager sees them (IsDialogMessage). Escape does nothing
// in any control: a multi-line edit driven by the dialog manager answers it by posting WM_CLOSE
// to its parent, which would end the program. Enter presses the focused push button, as in
// every dialog, and does nothing elsewhere. True when the key was taken here.
bool TranslateEnterAndEscape(HWND window, const MSG& message);

}  // namespace quorvel
