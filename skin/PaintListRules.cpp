#include "skin/PaintListRules.h"

namespace skin {

namespace {

bool SameImagePlace(const ImageItem& i, Placement d, int stretchRight, int stretchBottom, int rotateFlip) {
  return i.destLeft == d.left && i.destTop == d.top && i.destRight == d.right && i.destBottom == d.bottom &&
         i.stretchRight == stretchRight && i.stretchBottom == stretchBottom && i.rotateFlip == rotateFlip;
}

bool SameGridPlace(const NineGridItem& g, int top, int bottom, int left, int right, int fillClient, Placement d,
                   int rotateFlip) {
  return g.destLeft == d.left && g.destTop == d.top && g.destRight == d.right && g.destBottom == d.bottom &&
         g.fillClient == fillClient && g.top == top && g.bottom == bottom && g.left == left && g.right == right &&
         g.rotateFlip == rotateFlip;
}

ImageItem NewImage(Placement d, int stretchRight, int stretchBottom, int fillMode, int rotateFlip) {
  ImageItem i;
  i.destLeft = d.left;
  i.destTop = d.top;
  i.destRight = d.right;
  i.destBottom = d.bottom;
  i.stretchRight = stretchRight;
  i.stretchBottom = stretchBottom;
  i.fillMode = fillMode;
  i.rotateFlip = rotateFlip;
  return i;
}

NineGridItem NewGrid(int top, int bottom, int left, int right, int fillClient, Placement d, int fillMode,
                     int rotateFlip) {
  NineGridItem g;
  g.top = top;
  g.bottom = bottom;
  g.left = left;
  g.right = right;
  g.destLeft = d.left;
  g.destTop = d.top;
  g.destRight = d.right;
  g.destBottom = d.bottom;
  g.fillClient = fillClient;
  g.fillMode = fillMode;
  g.rotateFlip = rotateFlip;
  return g;
}

}  // namespace

void SetImageEntry(std::vector<ImageItem>& list, unsigned resourceId, const std::string& resourceType,
                   Placement dest, int stretchRight, int stretchBottom, int fillMode, int rotateFlip) {
  for (ImageItem& i : list)
    if (SameImagePlace(i, dest, stretchRight, stretchBottom, rotateFlip)) {
      i.resourceId = resourceId;
      i.resourceType = resourceType;
      i.sourceKind = SourceResource;
      return;
    }
  ImageItem i = NewImage(dest, stretchRight, stretchBottom, fillMode, rotateFlip);
  i.resourceId = resourceId;
  i.resourceType = resourceType;
  list.push_back(i);
}

void SetImageFileEntry(std::vector<ImageItem>& list, const std::wstring& filePath, Placement dest, int stretchRight,
                       int stretchBottom, int fillMode, int rotateFlip) {
  for (ImageItem& i : list)
    if (SameImagePlace(i, dest, stretchRight, stretchBottom, rotateFlip)) {
      i.filePath = filePath;  // the resource stays as the fallback
      i.sourceKind = SourceFile;
      return;
    }
  ImageItem i = NewImage(dest, stretchRight, stretchBottom, fillMode, rotateFlip);
  i.filePath = filePath;
  i.sourceKind = SourceFile;
  list.push_back(i);
}

void PlaceImageEntry(std::vector<ImageItem>& list, unsigned resourceId, const std::string& resourceType, int x, int y,
                     int rotateFlip, int width, int height) {
  for (ImageItem& i : list) {
    const bool sameSource = (i.srcLeft == 0 && i.srcTop == 0 && i.srcRight == width && i.srcBottom == height) ||
                            (width == 0 && height == 0);
    if (i.destLeft == x && i.destTop == y && i.destRight == 0 && i.destBottom == 0 && sameSource &&
        i.stretchRight == 0 && i.stretchBottom == 0 && i.rotateFlip == rotateFlip) {
      i.resourceId = resourceId;
      i.resourceType = resourceType;
      i.sourceKind = SourceResource;
      return;
    }
  }
  ImageItem i = NewImage({x, y, 0, 0}, 0, 0, FillGdiStretch, rotateFlip);
  i.resourceId = resourceId;
  i.resourceType = resourceType;
  i.srcRight = width;
  i.srcBottom = height;
  list.push_back(i);
}

void SetNineGridEntry(std::vector<NineGridItem>& list, unsigned resourceId, const std::string& resourceType, int top,
                      int bottom, int left, int right, int fillClient, Placement dest, int fillMode, int rotateFlip) {
  for (NineGridItem& g : list)
    if (SameGridPlace(g, top, bottom, left, right, fillClient, dest, rotateFlip)) {
      g.resourceId = resourceId;
      g.resourceType = resourceType;
      g.sourceKind = SourceResource;
      return;
    }
  NineGridItem g = NewGrid(top, bottom, left, right, fillClient, dest, fillMode, rotateFlip);
  g.resourceId = resourceId;
  g.resourceType = resourceType;
  list.push_back(g);
}

void SetNineGridFileEntry(std::vector<NineGridItem>& list, const std::wstring& filePath, int top, int bottom, int left,
                          int right, int fillClient, Placement dest, int fillMode, int rotateFlip) {
  for (NineGridItem& g : list)
    if (SameGridPlace(g, top, bottom, left, right, fillClient, dest, rotateFlip)) {
      g.filePath = filePath;
      g.sourceKind = SourceFile;
      return;
    }
  NineGridItem g = NewGrid(top, bottom, left, right, fillClient, dest, fillMode, rotateFlip);
  g.filePath = filePath;
  g.sourceKind = SourceFile;
  list.push_back(g);
}

void SetTextEntry(std::vector<StyledText>& list, const StyledText& text) {
  for (StyledText& t : list)
    if (t.boxX == text.boxX && t.boxY == text.boxY) {
      t = text;
      return;
    }
  list.push_back(text);
}

}  // namespace skin
