// DPI queries that newer systems answer per monitor, with the system-wide answer as the
// fallback where the per-monitor functions do not exist.
#pragma once

#include <windows.h>

namespace quorvel {

// The DPI the window is shown at.
UINT WindowDpi(HWND window);

// The system-wide DPI: what a new window on the main screen gets, and what the system's own
// metrics (and so the class icons' sizes) are given at.
UINT SystemDpi();

// The outer window size for a client size at that DPI.
SIZE WindowSizeForClient(SIZE client, DWORD style, DWORD exStyle, UINT dpi);

// The system's message font, sized for that DPI.
LOGFONTW MessageFontAt(UINT dpi);

// A system metric (SM_CXSMICON, ...) at that DPI.
int SystemMetricAt(int index, UINT dpi);

}  // namespace quorvel
