#include "skin/SkinPainter.h"

#include "skin/ImageDrawing.h"
#include "skin/PaintListRules.h"
#include "skin/StyledTextDrawing.h"

namespace {
skin::Placement Place(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }
}  // namespace

SkinPainter::~SkinPainter() {
  m_texts.clear();
  m_images.clear();
  m_borders.clear();
  m_nineGrids.clear();
}

void SkinPainter::PaintBackground(HWND wnd, HDC dc, const RECT& window) {
  PaintBorders(dc, window);
  PaintNineGrids(dc, window);
  PaintImages(dc, window);
  PaintTexts(wnd, dc, window);
}

void SkinPainter::PaintBorders(HDC dc, const RECT& window) {
  for (BorderItem& item : m_borders) {
    if (item.fillClient) {
      item.left = window.left;
      item.top = window.top;
      item.right = window.right;
      item.bottom = window.bottom;
    }
    DrawBorderItem(dc, item);
  }
}

void SkinPainter::PaintNineGrids(HDC dc, const RECT& window) {
  for (NineGridItem& item : m_nineGrids) {
    if (item.fillClient) {
      item.destLeft = window.left;
      item.destTop = window.top;
      item.destRight = window.right;
      item.destBottom = window.bottom;
    }
    DrawNineGridItem(dc, item);
  }
}

void SkinPainter::PaintImages(HDC dc, const RECT& window) {
  for (const ImageItem& item : m_images) DrawImageItem(dc, window, item);
}

void SkinPainter::PaintTexts(HWND wnd, HDC dc, const RECT&) {
  for (const StyledText& text : m_texts) DrawStyledText(wnd, dc, text);
}

void SkinPainter::PaintOverlay(HDC) {}

void SkinPainter::SetImage(unsigned resourceId, std::string resourceType, RECT dest, int stretchRight,
                           int stretchBottom, int fillMode, int rotateFlip) {
  ++m_version;
  skin::SetImageEntry(m_images, resourceId, resourceType, Place(dest), stretchRight, stretchBottom, fillMode,
                      rotateFlip);
}

void SkinPainter::SetImageFile(std::wstring filePath, RECT dest, int stretchRight, int stretchBottom, int fillMode,
                               int rotateFlip) {
  ++m_version;
  skin::SetImageFileEntry(m_images, filePath, Place(dest), stretchRight, stretchBottom, fillMode, rotateFlip);
}

void SkinPainter::PlaceImage(unsigned resourceId, std::string resourceType, int x, int y, int rotateFlip) {
  int w = 0, h = 0;
  if (SkinImage image = LoadResourceImage(resourceId, resourceType)) {
    image->RotateFlip(static_cast<Gdiplus::RotateFlipType>(rotateFlip));
    w = static_cast<int>(image->GetWidth());
    h = static_cast<int>(image->GetHeight());
  }
  ++m_version;
  skin::PlaceImageEntry(m_images, resourceId, resourceType, x, y, rotateFlip, w, h);
}

void SkinPainter::SetNineGrid(unsigned resourceId, std::string resourceType, int top, int bottom, int left, int right,
                              int fillClient, RECT dest, int fillMode, int rotateFlip) {
  ++m_version;
  skin::SetNineGridEntry(m_nineGrids, resourceId, resourceType, top, bottom, left, right, fillClient, Place(dest),
                         fillMode, rotateFlip);
}

void SkinPainter::SetNineGridFile(std::wstring filePath, int top, int bottom, int left, int right, int fillClient,
                                  RECT dest, int fillMode, int rotateFlip) {
  ++m_version;
  skin::SetNineGridFileEntry(m_nineGrids, filePath, top, bottom, left, right, fillClient, Place(dest), fillMode,
                             rotateFlip);
}

void SkinPainter::SetNineGridTop(unsigned resourceId, std::string resourceType, int top, int fillClient, RECT dest,
                                 int fillMode) {
  SetNineGrid(resourceId, resourceType, top, -1, -1, -1, fillClient, dest, fillMode, 0);
}

void SkinPainter::SetNineGridTopFile(std::wstring filePath, int top, int fillClient, RECT dest, int fillMode) {
  SetNineGridFile(filePath, top, -1, -1, -1, fillClient, dest, fillMode, 0);
}

void SkinPainter::SetText(StyledText text) {
  ++m_version;
  skin::SetTextEntry(m_texts, text);
}
