// The drawing records of skinned windows, free of any platform type.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum ImageSource : int { SourceResource = 0, SourceFile = 1, SourceHeldImage = 2 };
enum FillMode : int { FillGdiStretch = 0, FillStretch = 1, FillTile = 2 };

// A placed image. Negative destination values count back from the window's
// right or bottom edge; a right or bottom of 0 means the natural size.
struct ImageItem {
  unsigned resourceId = 0;
  std::wstring filePath;
  std::string resourceType;
  int destLeft = 0, destTop = 0, destRight = 0, destBottom = 0;
  int srcLeft = 0, srcTop = 0, srcRight = 0, srcBottom = 0;
  int stretchRight = 0;
  int stretchBottom = 0;
  void* heldImage = nullptr;  // not owned
  int sourceKind = SourceResource;
  int fillMode = FillGdiStretch;
  int rotateFlip = 0;
};

// A nine-slice image; a slice of -1 is automatic.
struct NineGridItem {
  unsigned resourceId = 0;
  std::wstring filePath;
  std::string resourceType;
  int top = -1, bottom = -1, left = -1, right = -1;
  int destLeft = 0, destTop = 0, destRight = 0, destBottom = 0;
  int fillClient = 0;
  void* heldImage = nullptr;  // not owned
  int sourceKind = SourceResource;
  int fillMode = FillGdiStretch;
  int rotateFlip = 0;
};

// Nested rounded rectangles, one pixel apart, outermost colour first.
struct BorderItem {
  std::vector<uint32_t> colors;  // COLORREF values
  int ellipseWidth = 0, ellipseHeight = 0;
  int left = 0, top = 0, right = 0, bottom = 0;
  int fillClient = 0;
};

enum TextAlign : int {
  AlignTop = 0x01,
  AlignLeft = 0x02,
  AlignHCenter = 0x04,
  AlignRight = 0x08,
  AlignVCenter = 0x10,
  AlignBottom = 0x20,
};

// An anti-aliased text with font, colour, outline, shadow and layout box.
struct StyledText {
  std::wstring text;
  std::wstring face = L"\u5B8B\u4F53";  // 宋体
  float size = 9.0f;
  uint32_t color = 0xFE000000;
  int style = 0;
  float outlineWidth = 0.0f;
  uint32_t outlineColor = 0xFF000000;
  int shadow = 0;
  int shadowDx = 1, shadowDy = 1;
  uint32_t shadowColor = 0x80000000;
  float boxX = 0, boxY = 0, boxWidth = 0, boxHeight = 0;
  int alignment = AlignTop | AlignLeft;
  int windowRelative = 1;
  int ellipsis = 1;
};
