// The log box as it shows on screen, read back pixel by pixel: what the tests of its colours
// look at.
#pragma once

#include <windows.h>

namespace quorvel_test {

struct LogBoxPixels {
  COLORREF background;  // near the bottom-right corner, where no text reaches
  int inColour;         // pixels of the given colour in the left half of the first line
};

inline LogBoxPixels ReadLogBox(HWND logBox, COLORREF colour) {
  RECT client{};
  GetClientRect(logBox, &client);
  HDC screen = GetDC(nullptr);
  const auto pixel = [&](int x, int y) {
    POINT point{x, y};
    ClientToScreen(logBox, &point);
    return GetPixel(screen, point.x, point.y);
  };
  LogBoxPixels seen{pixel(client.right - 4, client.bottom - 3), 0};
  for (int x = 0; x < client.right / 2; ++x) {
    for (int y = 0; y < 14; ++y) seen.inColour += pixel(x, y) == colour ? 1 : 0;
  }
  ReleaseDC(nullptr, screen);
  return seen;
}

// Pixels of the colour on screen in a part of a control (its client coordinates).
inline int PixelsOfColour(HWND control, RECT area, COLORREF colour) {
  HDC screen = GetDC(nullptr);
  int count = 0;
  for (int x = area.left; x < area.right; ++x) {
    for (int y = area.top; y < area.bottom; ++y) {
      POINT point{x, y};
      ClientToScreen(control, &point);
      count += GetPixel(screen, point.x, point.y) == colour ? 1 : 0;
    }
  }
  ReleaseDC(nullptr, screen);
  return count;
}

}  // namespace quorvel_test
