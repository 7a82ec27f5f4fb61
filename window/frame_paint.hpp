// The frames (group boxes) lie just above the boxes they name in z-order, since screen readers
// name a box after the window above it. A frame above its contents would paint over them (a
// themed frame fills its inside with its parent's background): it paints around them instead.
#pragma once

#include <windows.h>

namespace quorvel {

// Makes the frame paint only outside the controls laid out in it; false if that failed.
bool PaintFrameAroundItsControls(HWND frame);

}  // namespace quorvel
