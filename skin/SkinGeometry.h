// Geometry of skin drawing that needs no platform: slices, tiles,
// destinations, regions from alpha, text layout, button faces.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "skin/SkinItems.h"

namespace skin {

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool operator==(const Rect& o) const {
    return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
  }
};

// One image draw: `w` x `h` pixels from (srcX, srcY) to (x, y).
struct Blit {
  int x, y, srcX, srcY, w, h;
  bool operator==(const Blit& o) const {
    return x == o.x && y == o.y && srcX == o.srcX && srcY == o.srcY && w == o.w && h == o.h;
  }
};

struct Slices {
  int top, bottom, left, right;
};
// Slices of a `width` x `height` image; -1 is automatic.
Slices ResolveSlices(int width, int height, int top, int bottom, int left, int right);

// Tiles of `sw` x `sh` at natural size over dw x dh from (x, y): whole tiles,
// a partial column in whole rows, a partial row under whole columns; the
// corner remainder cell is left undrawn. Empty when sw or sh is 0.
std::vector<Blit> TilePlan(int x, int y, int dw, int dh, int srcX, int srcY, int sw, int sh);
// Tiles along one axis (edges of a nine-slice image).
std::vector<Blit> TileDown(int x, int y, int w, int dh, int srcX, int srcY, int sh);
std::vector<Blit> TileRight(int x, int y, int dw, int h, int srcX, int srcY, int sw);

// Source and destination of an ImageItem in a window rectangle, for an image
// of `imageWidth` x `imageHeight` (after rotation).
struct ImagePlacement {
  int srcX, srcY, srcW, srcH;
  Rect dest;
};
ImagePlacement PlaceImageItem(const ImageItem& item, const Rect& window, int imageWidth, int imageHeight);

// A nine-slice draw: the edges and the centre (in drawing order), then the corners.
struct Area {
  int x, y, w, h;
};
struct NineGridPiece {
  Area dest;
  Area src;
};
struct NineGridPlan {
  Slices slices;
  std::vector<NineGridPiece> middles;  // left, right, top, bottom edge, centre
  std::vector<NineGridPiece> corners;  // top-left, top-right, bottom-left, bottom-right
};
NineGridPlan PlanNineGrid(const NineGridItem& item, int imageWidth, int imageHeight);

// Runs of non-transparent pixels, rows from the bottom up, each a rectangle
// one pixel high.
std::vector<Rect> OpaqueRuns(int left, int top, int width, int height, const std::function<bool(int, int)>& opaque);

// GDI+ string alignment (0 near, 1 centre, 2 far) of the alignment flags.
struct Alignment {
  int line, horizontal;
};
Alignment AlignmentOf(int flags);

// The layout box of a text in a window of ww x wh.
struct BoxF {
  float x, y, w, h;
};
BoxF TextLayoutBox(const StyledText& text, int ww, int wh);

// Which face a skin button draws.
enum ButtonDrawState : int {
  StateNormal = 0,
  StateHover = 1,
  StatePressed = 2,
  StateDisabled = 3,
  StateFocus = 4,
  StateFlash = 5,
};
int ChooseDrawState(bool disabled, bool selected, bool checked, bool hover, bool focused, int flashState);
// The strip frame of a state, or -1 when the strip has one usable frame
// (its first frame is drawn with per-state effects).
int StripFrameOf(int state, int frameCount, bool hasFlashFrame);

}  // namespace skin
