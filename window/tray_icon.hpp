// The notification-area icon: one record, added while the program runs and deleted when it
// ends. Its callback is the window's own mouse-move message. The record owns the icon it hands
// to the shell, so the shell is never given a destroyed one. Its tip is "Quorvel V2" and a
// second line with the service's state; it can show a balloon.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <string>

#include "window/handles.hpp"

namespace quorvel {

class TrayIcon {
 public:
  TrayIcon() = default;
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;
  ~TrayIcon() { Remove(); }

  // Fills the record for this window; the image comes with SetIcon.
  void Prepare(HWND window);
  // The image from now on (the small icon at the window's DPI). An icon that may be shown
  // already is changed at once (NIM_MODIFY); the previous image is destroyed only after that.
  void SetIcon(UniqueIcon icon);
  // The tip's second line, below "Quorvel V2"; empty for none. Changed at once if shown.
  void SetStateLine(const std::wstring& line);
  // A balloon over the icon (warning or information icon); false if none could be shown.
  bool ShowBalloon(const std::wstring& title, const std::wstring& text, bool warning);
  // NIM_ADD; false when the shell is not ready (the caller retries later).
  bool Add();
  // NIM_DELETE whenever an add may have got through, even one that reported a failure.
  void Remove();
  // The record as the shell is given it.
  const NOTIFYICONDATAA& Record() const { return record_; }
  // Balloons shown since the program started.
  int BalloonsShown() const { return balloons_; }

 private:
  // The tip from the first line and the state line, as the record's size allows.
  void WriteTip();
  bool Modify();

  NOTIFYICONDATAA record_{};
  UniqueIcon icon_;
  std::string stateLine_;
  bool prepared_ = false;
  // An add was asked for since the last delete.
  bool mayBeShown_ = false;
  int balloons_ = 0;
};

}  // namespace quorvel
