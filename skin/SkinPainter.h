// The paint list of a skinned window: nine-slice images, borders, placed
// images and texts, with add-or-replace operations keyed by placement and a
// fixed paint order.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "skin/SkinItems.h"

class SkinPainter {
 public:
  SkinPainter() = default;
  virtual ~SkinPainter();

  // Borders, nine-slice images, images, then texts.
  virtual void PaintBackground(HWND wnd, HDC dc, const RECT& window);
  virtual void PaintBorders(HDC dc, const RECT& window);
  virtual void PaintNineGrids(HDC dc, const RECT& window);
  virtual void PaintImages(HDC dc, const RECT& window);
  virtual void PaintTexts(HWND wnd, HDC dc, const RECT& window);
  // Called after the background has been painted; nothing by default.
  virtual void PaintOverlay(HDC dc);

  void SetImage(unsigned resourceId, std::string resourceType, RECT dest, int stretchRight, int stretchBottom,
                int fillMode, int rotateFlip);
  void SetImageFile(std::wstring filePath, RECT dest, int stretchRight, int stretchBottom, int fillMode,
                    int rotateFlip);
  void PlaceImage(unsigned resourceId, std::string resourceType, int x, int y, int rotateFlip);
  void SetNineGrid(unsigned resourceId, std::string resourceType, int top, int bottom, int left, int right,
                   int fillClient, RECT dest, int fillMode, int rotateFlip);
  void SetNineGridFile(std::wstring filePath, int top, int bottom, int left, int right, int fillClient, RECT dest,
                       int fillMode, int rotateFlip);
  void SetNineGridTop(unsigned resourceId, std::string resourceType, int top, int fillClient, RECT dest, int fillMode);
  void SetNineGridTopFile(std::wstring filePath, int top, int fillClient, RECT dest, int fillMode);
  void SetText(StyledText text);

  // Changes with every change of the list, so that a kept picture of it
  // knows when it is out of date.
  uint32_t PaintListVersion() const { return m_version; }

  const std::vector<NineGridItem>& NineGrids() const { return m_nineGrids; }
  const std::vector<ImageItem>& Images() const { return m_images; }
  const std::vector<StyledText>& Texts() const { return m_texts; }

 protected:
  std::vector<NineGridItem> m_nineGrids;
  std::vector<BorderItem> m_borders;
  std::vector<ImageItem> m_images;
  std::vector<StyledText> m_texts;

 private:
  uint32_t m_version = 0;
};
