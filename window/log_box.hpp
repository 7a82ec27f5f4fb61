// The log box's text kept equal to the activity log's. The log grows at its end, one line at
// a time, or starts afresh once full; the box is given only what is new when it can be, so a
// line costs the same however long the log already is.
#pragma once

#include <windows.h>

#include <string>

namespace quorvel {

class LogBoxText {
 public:
  // Makes the box show text, with the caret and the view at its end.
  void Show(HWND box, const std::wstring& text);

 private:
  // What the box was last given.
  std::wstring shown_;
};

}  // namespace quorvel
