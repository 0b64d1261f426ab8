// The add-or-replace rules of a skinned window's paint lists: each operation
// finds the item with the same placement key, in list order, and changes only
// where its image comes from (or, for texts, replaces it); without a match it
// appends a new item.
#pragma once

#include <string>
#include <vector>

#include "skin/SkinItems.h"

namespace skin {

struct Placement {
  int left, top, right, bottom;
};

void SetImageEntry(std::vector<ImageItem>& list, unsigned resourceId, const std::string& resourceType,
                   Placement dest, int stretchRight, int stretchBottom, int fillMode, int rotateFlip);
void SetImageFileEntry(std::vector<ImageItem>& list, const std::wstring& filePath, Placement dest, int stretchRight,
                       int stretchBottom, int fillMode, int rotateFlip);
// A resource image at natural size at (x, y); `width` x `height` is its
// size after rotation (0 x 0 when it could not be loaded).
void PlaceImageEntry(std::vector<ImageItem>& list, unsigned resourceId, const std::string& resourceType, int x, int y,
                     int rotateFlip, int width, int height);
void SetNineGridEntry(std::vector<NineGridItem>& list, unsigned resourceId, const std::string& resourceType, int top,
                      int bottom, int left, int right, int fillClient, Placement dest, int fillMode, int rotateFlip);
void SetNineGridFileEntry(std::vector<NineGridItem>& list, const std::wstring& filePath, int top, int bottom, int left,
                          int right, int fillClient, Placement dest, int fillMode, int rotateFlip);
// Texts are keyed by the layout box's x and y.
void SetTextEntry(std::vector<StyledText>& list, const StyledText& text);

}  // namespace skin
