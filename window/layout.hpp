// The main window's geometry in twips, the unit it was designed in, and the conversion to
// pixels at the window's DPI.
#pragma once

#include <windows.h>

#include "window/resource.hpp"

namespace quorvel {

// Client area of the window.
inline constexpr int kClientWidthTwips = 8415;
inline constexpr int kClientHeightTwips = 2760;

// One twip is 1/1440 inch.
inline int TwipsToPixels(int twips, UINT dpi) { return MulDiv(twips, static_cast<int>(dpi), 1440); }

enum class ControlKind { Button, GroupBox, Edit, LogBox, Label, List };

struct ControlLayout {
  int id;
  ControlKind kind;
  const wchar_t* caption;
  int container;                 // 0 for the window, else the frame's id
  int left, top, width, height;  // twips, from the container's top-left corner
};

// Label1's sentence: 42 spaces leave room for List1, which lies over them.
inline constexpr wchar_t kLabel1Caption[] =
    L"Actualiser mon adresse IP toutes les                                          minutes";

// Listed in their z-order, which is also the order the keyboard visits them. Each edit box and
// the list come just after the frame that names them, so a screen reader takes that caption as
// their name; the frames and the label take no focus, so the Tab order of the buttons and boxes
// stays as it is. The label lies below the list, which is drawn over it.
inline constexpr ControlLayout kControls[] = {
    {IDC_COMMAND1, ControlKind::Button, L"Minimiser", 0, 4680, 2280, 1455, 375},
    {IDC_COMMAND2, ControlKind::Button, L"Créer un identifiant unique", 0, 120, 2280, 2415, 375},
    {IDC_FRAME1, ControlKind::GroupBox, L"Votre identifiant unique:", 0, 120, 120, 2775, 735},
    {IDC_TEXT1, ControlKind::Edit, L"", IDC_FRAME1, 120, 240, 2415, 315},
    {IDC_FRAME2, ControlKind::GroupBox, L"Journal d'informations:", 0, 120, 960, 8175, 1215},
    {IDC_TEXT2, ControlKind::LogBox, L"", IDC_FRAME2, 120, 240, 7935, 855},
    {IDC_COMMAND3, ControlKind::Button, L"Activer le service", 0, 2520, 2280, 2175, 375},
    {IDC_COMMAND4, ControlKind::Button, L"Désactiver le service", 0, 6120, 2280, 2175, 375},
    {IDC_FRAME3, ControlKind::GroupBox, L"Fréquence d'actualisation:", 0, 3000, 120, 5295, 735},
    {IDC_LIST1, ControlKind::List, L"", IDC_FRAME3, 2760, 360, 1695, 255},
    {IDC_LABEL1, ControlKind::Label, kLabel1Caption, IDC_FRAME3, 120, 360, 5055, 255},
};

// The control's place in kControls.
inline constexpr size_t LayoutIndex(int id) {
  for (size_t i = 0; i < sizeof kControls / sizeof kControls[0]; ++i) {
    if (kControls[i].id == id) return i;
  }
  return 0;
}

// The control's rectangle in the window's client area, in twips: a frame's contents are placed
// at the frame's corner plus their own offset, because frames are siblings, not parents.
inline RECT ControlRectTwips(const ControlLayout& control) {
  int left = control.left;
  int top = control.top;
  for (const ControlLayout& frame : kControls) {
    if (frame.id == control.container) {
      left += frame.left;
      top += frame.top;
    }
  }
  return RECT{left, top, left + control.width, top + control.height};
}

}  // namespace quorvel
