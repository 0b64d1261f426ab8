#include "skin/StyledTextDrawing.h"

#include <memory>

#include "skin/SkinGeometry.h"

using namespace Gdiplus;

namespace {

// One draw of the whole string; trimming, once set, stays on the shared format.
void DrawOnce(Graphics& g, const std::wstring& text, const Font* font, const RectF& box, StringFormat& format,
              uint32_t argb, bool ellipsis) {
  if (ellipsis) format.SetTrimming(StringTrimmingEllipsisWord);
  SolidBrush brush{Color(argb)};
  g.DrawString(text.c_str(), -1, font, box, &format, &brush);
}

}  // namespace

void DrawTextOutline(int a, Graphics& g, const std::wstring& text, const Font* font, const RectF& box,
                     StringFormat& format, uint32_t argb, bool ellipsis) {
  const float d = static_cast<float>(a);
  const RectF boxes[] = {{box.X - d, box.Y, box.Width, box.Height},
                         {box.X + d, box.Y, box.Width, box.Height},
                         {box.X, box.Y - d, box.Width, box.Height},
                         {box.X, box.Y + d, box.Width, box.Height}};
  for (const RectF& b : boxes) DrawOnce(g, text, font, b, format, argb, ellipsis);
}

void DrawStyledText(HWND wnd, HDC dc, const StyledText& t) {
  RECT wr{};
  ::GetWindowRect(wnd, &wr);
  const skin::BoxF b = skin::TextLayoutBox(t, wr.right - wr.left, wr.bottom - wr.top);
  Graphics g(dc);
  g.SetSmoothingMode(SmoothingModeAntiAlias);
  g.SetInterpolationMode(InterpolationModeHighQualityBicubic);
  g.SetTextRenderingHint(TextRenderingHintAntiAliasGridFit);

  FontFamily family(t.face.c_str());
  const FontFamily* chosen = family.GetLastStatus() == Ok ? &family : FontFamily::GenericSansSerif();
  auto font = std::make_unique<Font>(chosen, t.size, t.style, UnitPoint);
  if (font->GetLastStatus() != Ok) font = std::make_unique<Font>(FontFamily::GenericSansSerif(), t.size, t.style, UnitPoint);

  StringFormat format(0, LANG_NEUTRAL);
  const skin::Alignment align = skin::AlignmentOf(t.alignment);
  format.SetLineAlignment(static_cast<StringAlignment>(align.line));
  format.SetAlignment(static_cast<StringAlignment>(align.horizontal));
  const std::wstring& text = t.text;
  const float gw = t.outlineWidth;
  const int a = static_cast<int>(gw);
  const bool ellipsis = t.ellipsis != 0;

  if (t.shadow) {
    if (gw != 0)
      DrawTextOutline(a, g, text, font.get(),
                      RectF(b.x + gw + t.shadowDx, b.y + gw + t.shadowDy, b.w - 2 * gw, b.h - 2 * gw), format,
                      t.shadowColor, ellipsis);
    else
      DrawOnce(g, text, font.get(), RectF(b.x + t.shadowDx, b.y + t.shadowDy, b.w, b.h), format, t.shadowColor,
               ellipsis);
  }
  RectF box(b.x, b.y, b.w, b.h);
  if (gw != 0) {
    box = RectF(b.x + gw, b.y + gw, b.w - 2 * gw, b.h - 2 * gw);
    DrawTextOutline(a, g, text, font.get(), box, format, t.outlineColor, ellipsis);
  }
  DrawOnce(g, text, font.get(), box, format, t.color, ellipsis);
}
