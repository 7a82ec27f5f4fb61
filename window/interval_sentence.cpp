#include "window/interval_sentence.hpp"

#include <cstdlib>
#include <string>
#include <string_view>

#include "window/dpi.hpp"
#include "window/gdi_scope.hpp"
#include "window/layout.hpp"

namespace quorvel {

namespace {

// Label1's caption around its run of spaces: the words before the list and the word after it.
struct SentenceParts {
  std::wstring before;
  std::wstring after;
};

SentenceParts SplitAtSpaces(std::wstring_view caption) {
  const size_t gap = caption.find(L"  ");
  if (gap == std::wstring_view::npos) return {std::wstring(caption), {}};
  const size_t resume = caption.find_first_not_of(L' ', gap);
  return {std::wstring(caption.substr(0, gap)),
          resume == std::wstring_view::npos ? std::wstring() : std::wstring(caption.substr(resume))};
}

int TextWidth(HDC dc, HFONT font, const std::wstring& text) {
  const SelectedObject selected(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  return size.cx;
}

}  // namespace

UniqueFont FitLabelFont(HWND window, UINT dpi) {
  // The sentence was laid out for a smaller font than today's message font: its words must
  // still fit on either side of the list, so the label's font shrinks until they do.
  const SentenceParts parts = SplitAtSpaces(kLabel1Caption);
  const int gap = TwipsToPixels(15, dpi);
  const RECT label = ControlRectTwips(kControls[LayoutIndex(IDC_LABEL1)]);
  const RECT list = ControlRectTwips(kControls[LayoutIndex(IDC_LIST1)]);
  const int roomBefore = TwipsToPixels(list.left - label.left, dpi) - gap;
  const int roomAfter = TwipsToPixels(label.right - list.right, dpi) - gap;

  LOGFONTW description = MessageFontAt(dpi);
  const WindowDC dc(window);
  UniqueFont font(CreateFontIndirectW(&description));
  const int minimum = TwipsToPixels(120, dpi);
  while (font && dc && std::abs(description.lfHeight) > minimum &&
         (TextWidth(dc.get(), font.get(), parts.before) > roomBefore ||
          TextWidth(dc.get(), font.get(), parts.after) > roomAfter)) {
    description.lfHeight += description.lfHeight < 0 ? 1 : -1;
    description.lfWidth = 0;
    font.reset(CreateFontIndirectW(&description));
  }
  return font;
}

void DrawLabel1(const DRAWITEMSTRUCT& item, HFONT font, UINT dpi) {
  HDC dc = item.hDC;
  RECT area = item.rcItem;
  FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
  const SentenceParts parts = SplitAtSpaces(kLabel1Caption);
  const SelectedObject selected(dc, font);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  constexpr UINT format = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_LEFT;
  DrawTextW(dc, parts.before.c_str(), static_cast<int>(parts.before.size()), &area, format);
  // The word after the spaces starts just right of the list that lies over them.
  const RECT label = ControlRectTwips(kControls[LayoutIndex(IDC_LABEL1)]);
  const RECT list = ControlRectTwips(kControls[LayoutIndex(IDC_LIST1)]);
  RECT after = area;
  after.left = area.left + TwipsToPixels(list.right - label.left, dpi) + TwipsToPixels(15, dpi);
  DrawTextW(dc, parts.after.c_str(), static_cast<int>(parts.after.size()), &after, format);
}

}  // namespace quorvel
