#include "window/frame_paint.hpp"

#include <commctrl.h>

#include "window/layout.hpp"

namespace quorvel {

namespace {

constexpr UINT_PTR kSubclassId = 1;

LRESULT CALLBACK FrameProc(HWND frame, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  if (message == WM_PAINT && wParam == 0) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(frame, &paint);
    const HWND parent = GetParent(frame);
    const int id = GetDlgCtrlID(frame);
    for (const ControlLayout& control : kControls) {
      if (control.container != id) continue;
      RECT rect{};
      GetWindowRect(GetDlgItem(parent, control.id), &rect);
      MapWindowPoints(HWND_DESKTOP, frame, reinterpret_cast<POINT*>(&rect), 2);
      ExcludeClipRect(dc, rect.left, rect.top, rect.right, rect.bottom);
    }
    // The frame's own drawing, into the clipped context.
    DefSubclassProc(frame, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    EndPaint(frame, &paint);
    return 0;
  }
  if (message == WM_NCDESTROY) RemoveWindowSubclass(frame, FrameProc, kSubclassId);
  return DefSubclassProc(frame, message, wParam, lParam);
}

}  // namespace

bool PaintFrameAroundItsControls(HWND frame) {
  return SetWindowSubclass(frame, FrameProc, kSubclassId, 0) != FALSE;
}

}  // namespace quorvel
