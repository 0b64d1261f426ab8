#include <gtest/gtest.h>

#include <set>

#include "skin/PaintListRules.h"
#include "skin/SkinGeometry.h"

using namespace skin;

TEST(NineSlices, AutomaticSlices) {
  struct Case {
    int w, h, top, bottom, left, right;
    Slices expected;
  };
  const Case cases[] = {
      {9, 64, 31, -1, -1, -1, {31, 32, 4, 4}},   // the window background: a 1 x 1 middle
      {20, 20, -1, -1, -1, -1, {9, 9, 9, 9}},    // a 2 x 2 middle
      {31, 31, -1, -1, -1, -1, {15, 15, 15, 15}},
      {30, 30, -1, -1, -1, -1, {14, 14, 14, 14}},
      {10, 10, 3, 2, 4, 1, {3, 2, 4, 1}},        // given slices stay
      {10, 10, -1, 2, 4, -1, {7, 2, 4, 5}},      // one automatic: a middle of exactly 1
  };
  for (const Case& c : cases) {
    const Slices s = ResolveSlices(c.w, c.h, c.top, c.bottom, c.left, c.right);
    EXPECT_EQ(s.top, c.expected.top);
    EXPECT_EQ(s.bottom, c.expected.bottom);
    EXPECT_EQ(s.left, c.expected.left);
    EXPECT_EQ(s.right, c.expected.right);
  }
}

TEST(Tiles, RemainderCellStaysUndrawn) {
  const auto tiles = TilePlan(0, 0, 20, 20, 0, 0, 7, 7);
  // 2 x 2 whole tiles, a 6-wide column in both rows, a 6-high row under the
  // two whole columns: 8 draws, and nothing covers (14..20, 14..20).
  ASSERT_EQ(tiles.size(), 8u);
  std::set<std::pair<int, int>> covered;
  for (const Blit& t : tiles)
    for (int y = t.y; y < t.y + t.h; ++y)
      for (int x = t.x; x < t.x + t.w; ++x) EXPECT_TRUE(covered.insert({x, y}).second) << "drawn twice";
  EXPECT_EQ(covered.size(), 400u - 36u);
  for (int y = 14; y < 20; ++y)
    for (int x = 14; x < 20; ++x) EXPECT_EQ(covered.count({x, y}), 0u);
  EXPECT_TRUE(TilePlan(0, 0, 20, 20, 0, 0, 0, 7).empty());
  // Narrower than one tile: no whole column, so no partial row either.
  EXPECT_EQ(TilePlan(0, 0, 5, 10, 0, 0, 7, 7).size(), 1u);
  EXPECT_EQ(TileDown(0, 0, 4, 10, 0, 3, 4), (std::vector<Blit>{{0, 0, 0, 3, 4, 4}, {0, 4, 0, 3, 4, 4}, {0, 8, 0, 3, 4, 2}}));
  EXPECT_EQ(TileRight(2, 0, 5, 3, 1, 0, 5), (std::vector<Blit>{{2, 0, 1, 0, 5, 3}}));
}

TEST(ImagePlacement, NegativeAndZeroDestinations) {
  const Rect window{0, 0, 300, 320};
  ImageItem band;
  band.destLeft = 2;
  band.destTop = 30;
  band.destRight = -3;
  band.destBottom = 0;
  auto p = PlaceImageItem(band, window, 5, 45);
  EXPECT_EQ(p.dest, (Rect{2, 30, 297, 75}));
  EXPECT_EQ(p.srcW, 5);
  EXPECT_EQ(p.srcH, 45);

  ImageItem logo;
  logo.destLeft = 5;
  p = PlaceImageItem(logo, window, 26, 28);
  EXPECT_EQ(p.dest, (Rect{5, 0, 31, 28}));

  ImageItem stretched;
  stretched.destLeft = -50;
  stretched.destTop = -20;
  stretched.stretchBottom = 1;
  stretched.srcLeft = 3;
  stretched.srcRight = 13;
  p = PlaceImageItem(stretched, window, 40, 8);
  EXPECT_EQ(p.dest, (Rect{250, 300, 260, 320}));
  EXPECT_EQ(p.srcX, 3);
  EXPECT_EQ(p.srcW, 10);
}

TEST(NineGridPlan, PiecesOfTheWindowBackground) {
  NineGridItem bg;
  bg.top = 31;
  bg.destRight = 300;
  bg.destBottom = 320;
  const NineGridPlan plan = PlanNineGrid(bg, 9, 64);
  ASSERT_EQ(plan.middles.size(), 5u);
  const auto& centre = plan.middles[4];
  EXPECT_EQ(centre.dest.x, 4);
  EXPECT_EQ(centre.dest.y, 31);
  EXPECT_EQ(centre.dest.w, 292);
  EXPECT_EQ(centre.dest.h, 257);
  EXPECT_EQ(centre.src.w, 1);
  EXPECT_EQ(centre.src.h, 1);
  const auto& bottomRight = plan.corners[3];
  EXPECT_EQ(bottomRight.dest.x, 296);
  EXPECT_EQ(bottomRight.dest.y, 288);
  EXPECT_EQ(bottomRight.src.x, 5);
  EXPECT_EQ(bottomRight.src.y, 32);
}

TEST(Regions, RunsFromAlpha) {
  // A single opaque pixel at (3, 4).
  auto one = OpaqueRuns(0, 0, 8, 8, [](int x, int y) { return x == 3 && y == 4; });
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0], (Rect{3, 4, 4, 5}));
  EXPECT_TRUE(OpaqueRuns(0, 0, 8, 8, [](int, int) { return false; }).empty());
  // Pixels in the last column of one row and the first of the next do not join.
  auto edge = OpaqueRuns(0, 0, 4, 2, [](int x, int y) { return (y == 0 && x == 3) || (y == 1 && x == 0); });
  ASSERT_EQ(edge.size(), 2u);
  EXPECT_EQ(edge[0], (Rect{0, 1, 1, 2}));  // the bottom row comes first
  EXPECT_EQ(edge[1], (Rect{3, 0, 4, 1}));
  auto full = OpaqueRuns(2, 1, 3, 1, [](int x, int) { return x != 3; });
  EXPECT_EQ(full, (std::vector<Rect>{{2, 1, 3, 2}, {4, 1, 5, 2}}));
}

TEST(TextLayout, AlignmentAndBoxes) {
  EXPECT_EQ(AlignmentOf(0x14).line, 1);
  EXPECT_EQ(AlignmentOf(0x14).horizontal, 1);
  EXPECT_EQ(AlignmentOf(0x11).line, 0);  // top wins over vertical centre
  EXPECT_EQ(AlignmentOf(0x28).line, 2);
  EXPECT_EQ(AlignmentOf(0x28).horizontal, 2);
  EXPECT_EQ(AlignmentOf(0).line, 0);

  StyledText notice;
  notice.boxX = 8;
  notice.boxY = 39;
  notice.boxHeight = 15;
  BoxF b = TextLayoutBox(notice, 300, 320);
  EXPECT_FLOAT_EQ(b.x, 8);
  EXPECT_FLOAT_EQ(b.w, 300);  // the whole width, not clipped to the window
  EXPECT_FLOAT_EQ(b.h, 15);
  StyledText right;
  right.boxX = -50;
  right.boxWidth = 40;
  EXPECT_FLOAT_EQ(TextLayoutBox(right, 300, 320).x, 250);
  right.windowRelative = 0;
  EXPECT_FLOAT_EQ(TextLayoutBox(right, 300, 320).x, -50);
  EXPECT_FLOAT_EQ(TextLayoutBox(right, 300, 320).h, 0);
}

TEST(TextRecord, Defaults) {
  const StyledText t;
  EXPECT_EQ(t.face, L"\u5B8B\u4F53");  // 宋体
  EXPECT_EQ(t.color, 0xFE000000u);
  EXPECT_EQ(t.shadowColor, 0x80000000u);
  EXPECT_EQ(t.alignment, 3);
  EXPECT_TRUE(t.windowRelative && t.ellipsis);
}

TEST(ButtonFaces, StateAndFrame) {
  EXPECT_EQ(ChooseDrawState(true, true, true, true, true, 0), StateDisabled);
  EXPECT_EQ(ChooseDrawState(false, false, true, true, false, 0), StatePressed);
  EXPECT_EQ(ChooseDrawState(false, false, false, true, true, 0), StateHover);
  EXPECT_EQ(ChooseDrawState(false, false, false, false, true, 0), StateFocus);
  EXPECT_EQ(ChooseDrawState(false, false, false, false, false, 0), StateNormal);
  EXPECT_EQ(ChooseDrawState(true, false, false, false, false, 2), StateFlash);
  // Four frames: the focus state falls back to frame 0.
  const int four[] = {0, 1, 2, 3, 0, 3};
  for (int s = 0; s <= 5; ++s) EXPECT_EQ(StripFrameOf(s, 4, false), four[s]) << s;
  // Five frames with a flash frame: the flash state shows frame 4.
  const int five[] = {0, 1, 2, 3, 0, 4};
  for (int s = 0; s <= 5; ++s) EXPECT_EQ(StripFrameOf(s, 5, true), five[s]) << s;
  EXPECT_EQ(StripFrameOf(1, 1, false), -1);
  EXPECT_EQ(StripFrameOf(1, 2, true), -1);
}

TEST(PaintLists, KeysAndReplacement) {
  std::vector<NineGridItem> grids;
  SetNineGridEntry(grids, 133, "PNG", 31, -1, -1, -1, 1, {0, 0, 0, 0}, 0, 0);
  SetNineGridFileEntry(grids, L"C:\\s\\PopupBoxBk.png", 31, -1, -1, -1, 1, {0, 0, 0, 0}, 0, 0);
  ASSERT_EQ(grids.size(), 1u);
  EXPECT_EQ(grids[0].sourceKind, SourceFile);
  EXPECT_EQ(grids[0].filePath, L"C:\\s\\PopupBoxBk.png");
  EXPECT_EQ(grids[0].resourceId, 133u);  // the fallback
  SetNineGridEntry(grids, 133, "PNG", 30, -1, -1, -1, 1, {0, 0, 0, 0}, 0, 0);
  EXPECT_EQ(grids.size(), 2u);

  std::vector<ImageItem> images;
  SetImageEntry(images, 139, "PNG", {2, 30, -3, 0}, 0, 0, 0, 0);
  SetImageEntry(images, 140, "PNG", {2, 30, -3, 0}, 0, 0, 2, 0);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].fillMode, 0);  // the first fill mode stays
  EXPECT_EQ(images[0].resourceId, 140u);
  SetImageEntry(images, 139, "PNG", {2, 30, -3, 0}, 0, 0, 0, 6);  // another rotation: another item
  EXPECT_EQ(images.size(), 2u);
  SetImageFileEntry(images, L"band.png", {2, 30, -3, 0}, 0, 0, 1, 0);
  EXPECT_EQ(images[0].sourceKind, SourceFile);
  EXPECT_EQ(images[0].resourceId, 140u);
  SetImageEntry(images, 139, "PNG", {2, 30, -3, 0}, 0, 0, 0, 0);
  EXPECT_EQ(images[0].sourceKind, SourceResource);
  EXPECT_EQ(images[0].filePath, L"band.png");

  PlaceImageEntry(images, 136, "PNG", 5, 0, 0, 26, 28);
  PlaceImageEntry(images, 136, "PNG", 5, 0, 0, 26, 28);
  EXPECT_EQ(images.size(), 3u);
  EXPECT_EQ(images[2].srcRight, 26);
  PlaceImageEntry(images, 137, "PNG", 5, 0, 0, 0, 0);  // unloadable: matches any source size
  EXPECT_EQ(images.size(), 3u);
  EXPECT_EQ(images[2].resourceId, 137u);

  std::vector<StyledText> texts;
  StyledText a;
  a.boxX = 8;
  a.boxY = 39;
  a.text = L"first";
  SetTextEntry(texts, a);
  a.text = L"second";
  SetTextEntry(texts, a);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].text, L"second");
  a.boxY = 39.5f;
  SetTextEntry(texts, a);
  EXPECT_EQ(texts.size(), 2u);
}
