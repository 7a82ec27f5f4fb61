// The notification-area icon: one first-version record, added while the program runs and
// deleted when it ends. Its callback is the window's own mouse-move message.
#pragma once

#include <windows.h>

#include <shellapi.h>

namespace quorvel {

class TrayIcon {
 public:
  TrayIcon() = default;
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;
  ~TrayIcon() { Remove(); }

  // Fills the record for this window and icon.
  void Prepare(HWND window, HICON icon);
  // NIM_ADD; false when the shell is not ready (the caller retries later).
  bool Add();
  // NIM_DELETE, once; harmless when the icon is not there.
  void Remove();
  bool IsShown() const { return shown_; }

 private:
  NOTIFYICONDATAA record_{};
  bool prepared_ = false;
  bool shown_ = false;
};

}  // namespace quorvel
