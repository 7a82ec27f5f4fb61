#include "window/log_box.hpp"

namespace quorvel {

void LogBoxText::Show(HWND box, const std::wstring& text) {
  const size_t old = shown_.size();
  const bool extends = old > 0 && text.size() >= old && text.compare(0, old, shown_) == 0 &&
                       static_cast<size_t>(GetWindowTextLengthW(box)) == old;
  if (extends) {
    // Replacing the whole text would lay out every line again.
    SendMessageW(box, EM_SETSEL, old, old);
    SendMessageW(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str() + old));
  } else {
    SetWindowTextW(box, text.c_str());
  }
  shown_ = text;
  const int length = GetWindowTextLengthW(box);
  SendMessageW(box, EM_SETSEL, length, length);
  SendMessageW(box, EM_SCROLLCARET, 0, 0);
}

}  // namespace quorvel
