#include "window/frame_paint.hpp"

#include "window/layout.hpp"

namespace quorvel {

namespace {

// The frame's own procedure, kept in its user data: a plain subclass costs nothing per message,
// where the common controls' subclass chain looks itself up in the window's properties.
WNDPROC OwnProcedure(HWND frame) {
  return reinterpret_cast<WNDPROC>(GetWindowLongPtrW(frame, GWLP_USERDATA));
}

LRESULT CALLBACK FrameProc(HWND frame, UINT message, WPARAM wParam, LPARAM lParam) {
  const WNDPROC own = OwnProcedure(frame);
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
    CallWindowProcW(own, frame, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    EndPaint(frame, &paint);
    return 0;
  }
  return CallWindowProcW(own, frame, message, wParam, lParam);
}

}  // namespace

bool PaintFrameAroundItsControls(HWND frame) {
  const LONG_PTR own = GetWindowLongPtrW(frame, GWLP_WNDPROC);
  if (!own) return false;
  // Without its own procedure at hand the frame is left as it is: FrameProc could not forward.
  SetLastError(ERROR_SUCCESS);
  if (!SetWindowLongPtrW(frame, GWLP_USERDATA, own) && GetLastError() != ERROR_SUCCESS) return false;
  return SetWindowLongPtrW(frame, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FrameProc)) != 0;
}

}  // namespace quorvel
