#include "skin/SkinGeometry.h"

namespace skin {

namespace {

void ResolvePair(int size, int& a, int& b) {
  if (a == -1 && b == -1) {
    a = b = (size - 1) / 2;
  } else if (a == -1) {
    a = size - b - 1;
  } else if (b == -1) {
    b = size - a - 1;
  }
}

}  // namespace

Slices ResolveSlices(int width, int height, int top, int bottom, int left, int right) {
  Slices s{top, bottom, left, right};
  ResolvePair(height, s.top, s.bottom);
  ResolvePair(width, s.left, s.right);
  return s;
}

std::vector<Blit> TilePlan(int x, int y, int dw, int dh, int srcX, int srcY, int sw, int sh) {
  std::vector<Blit> tiles;
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return tiles;
  const int cols = dw / sw, rw = dw % sw, rows = dh / sh, rh = dh % sh;
  for (int r = 0; r < rows; ++r) {
    const int ty = y + r * sh;
    for (int c = 0; c < cols; ++c) tiles.push_back({x + c * sw, ty, srcX, srcY, sw, sh});
    if (rw > 0) tiles.push_back({x + cols * sw, ty, srcX, srcY, rw, sh});
  }
  if (rh > 0 && cols > 0)
    for (int c = 0; c < cols; ++c) tiles.push_back({x + c * sw, y + rows * sh, srcX, srcY, sw, rh});
  return tiles;
}

std::vector<Blit> TileDown(int x, int y, int w, int dh, int srcX, int srcY, int sh) {
  std::vector<Blit> tiles;
  if (sh <= 0 || w <= 0 || dh <= 0) return tiles;
  int n = 0;
  for (; n < dh / sh; ++n) tiles.push_back({x, y + n * sh, srcX, srcY, w, sh});
  if (dh % sh) tiles.push_back({x, y + n * sh, srcX, srcY, w, dh % sh});
  return tiles;
}

std::vector<Blit> TileRight(int x, int y, int dw, int h, int srcX, int srcY, int sw) {
  std::vector<Blit> tiles;
  if (sw <= 0 || h <= 0 || dw <= 0) return tiles;
  int n = 0;
  for (; n < dw / sw; ++n) tiles.push_back({x + n * sw, y, srcX, srcY, sw, h});
  if (dw % sw) tiles.push_back({x + n * sw, y, srcX, srcY, dw % sw, h});
  return tiles;
}

ImagePlacement PlaceImageItem(const ImageItem& item, const Rect& window, int imageWidth, int imageHeight) {
  ImagePlacement p{};
  p.srcX = item.srcLeft;
  p.srcY = item.srcTop;
  p.srcW = item.srcRight - item.srcLeft;
  if (p.srcW == 0) p.srcW = imageWidth;
  p.srcH = item.srcBottom - item.srcTop;
  if (p.srcH == 0) p.srcH = imageHeight;
  Rect d{item.destLeft, item.destTop, item.destRight, item.destBottom};
  if (d.left < 0) d.left += window.right;
  if (d.right < 0) d.right += window.right;
  if (d.top < 0) d.top += window.bottom;
  if (d.bottom < 0) d.bottom += window.bottom;
  if (d.right == 0) d.right = d.left + p.srcW;
  if (d.bottom == 0) d.bottom = d.top + p.srcH;
  if (item.stretchRight) d.right = window.right;
  if (item.stretchBottom) d.bottom = window.bottom;
  p.dest = d;
  return p;
}

NineGridPlan PlanNineGrid(const NineGridItem& item, int W, int H) {
  NineGridPlan plan;
  const Slices s = ResolveSlices(W, H, item.top, item.bottom, item.left, item.right);
  plan.slices = s;
  const int T = s.top, B = s.bottom, L = s.left, R = s.right;
  const int mw = W - L - R, mh = H - T - B;
  const int x0 = item.destLeft, y0 = item.destTop, x1 = item.destRight, y1 = item.destBottom;
  const int dw = (x1 - x0) - L - R, dh = (y1 - y0) - T - B;
  plan.middles = {
      {{x0, y0 + T, L, dh}, {0, T, L, mh}},            // left edge
      {{x1 - R, y0 + T, R, dh}, {W - R, T, R, mh}},    // right edge
      {{x0 + L, y0, dw, T}, {L, 0, mw, T}},            // top edge
      {{x0 + L, y1 - B, dw, B}, {L, H - B, mw, B}},    // bottom edge
      {{x0 + L, y0 + T, dw, dh}, {L, T, mw, mh}},      // centre
  };
  plan.corners = {
      {{x0, y0, L, T}, {0, 0, L, T}},
      {{x1 - R, y0, R, T}, {W - R, 0, R, T}},
      {{x0, y1 - B, L, B}, {0, H - B, L, B}},
      {{x1 - R, y1 - B, R, B}, {W - R, H - B, R, B}},
  };
  return plan;
}

std::vector<Rect> OpaqueRuns(int left, int top, int width, int height, const std::function<bool(int, int)>& opaque) {
  std::vector<Rect> runs;
  runs.reserve(40);
  for (int y = top + height - 1; y >= top; --y) {
    int start = -1;
    for (int x = left; x < left + width; ++x) {
      const bool on = opaque(x, y);
      if (on && start < 0) start = x;
      if (!on && start >= 0) {
        runs.push_back({start, y, x, y + 1});
        start = -1;
      }
    }
    if (start >= 0) runs.push_back({start, y, left + width, y + 1});  // ends at the last column
  }
  return runs;
}

Alignment AlignmentOf(int flags) {
  Alignment a{0, 0};
  if (flags & AlignTop)
    a.line = 0;
  else if (flags & AlignVCenter)
    a.line = 1;
  else if (flags & AlignBottom)
    a.line = 2;
  if (flags & AlignLeft)
    a.horizontal = 0;
  else if (flags & AlignHCenter)
    a.horizontal = 1;
  else if (flags & AlignRight)
    a.horizontal = 2;
  return a;
}

BoxF TextLayoutBox(const StyledText& t, int ww, int wh) {
  BoxF b{t.boxX, t.boxY, t.boxWidth, t.boxHeight};
  if (t.windowRelative) {
    if (b.x < 0) b.x += static_cast<float>(ww);
    if (b.y < 0) b.y += static_cast<float>(wh);
    if (b.w <= 0) b.w = static_cast<float>(ww);
    if (b.h <= 0) b.h = static_cast<float>(wh);
  }
  return b;
}

int ChooseDrawState(bool disabled, bool selected, bool checked, bool hover, bool focused, int flashState) {
  int state = StateNormal;
  if (disabled)
    state = StateDisabled;
  else if (selected || checked)
    state = StatePressed;
  else if (hover)
    state = StateHover;
  else if (focused)
    state = StateFocus;
  return flashState == 2 ? StateFlash : state;
}

int StripFrameOf(int state, int frameCount, bool hasFlashFrame) {
  const int usable = hasFlashFrame ? frameCount - 1 : frameCount;
  if (usable <= 1) return -1;
  if (state == StateFlash) return frameCount - 1;
  return state < usable ? state : 0;
}

}  // namespace skin
