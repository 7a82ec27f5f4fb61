// Label1, the interval sentence, drawn by the window: its words on either side of the list
// that lies over its run of spaces, in a font small enough for them to fit there.
#pragma once

#include <windows.h>

#include "window/handles.hpp"

namespace quorvel {

// The message font at that DPI, shrunk until the words before and after the list fit beside it.
UniqueFont FitLabelFont(HWND window, UINT dpi);

// Paints the label for WM_DRAWITEM with that font.
void DrawLabel1(const DRAWITEMSTRUCT& item, HFONT font, UINT dpi);

}  // namespace quorvel
