#include "skin/ImageDrawing.h"

#include <vector>

#include "framework/Files.h"
#include "framework/Scoped.h"
#include "framework/Text.h"
#include "framework/WinApp.h"
#include "skin/SkinGeometry.h"

using namespace Gdiplus;

namespace {

// An image that holds no pixels: what a failed load gives.
SkinImage EmptyImage() { return SkinImage(Bitmap::FromStream(nullptr)); }

template <class Item>
SkinImage ChooseImage(const Item& item) {
  SkinImage image;
  if (item.sourceKind == SourceFile && !item.filePath.empty() && fw::PathExists(item.filePath)) {
    image = LoadFileImage(item.filePath);
    // A file that does not decode is as good as missing: the built-in image.
    if (!image) image = LoadResourceImage(item.resourceId, item.resourceType);
  } else if (item.sourceKind == SourceHeldImage && item.heldImage) {
    auto* held = static_cast<Bitmap*>(item.heldImage);
    image.reset(held->Clone(0, 0, static_cast<INT>(held->GetWidth()), static_cast<INT>(held->GetHeight()),
                            PixelFormatDontCare));
    if (image && image->GetLastStatus() != Ok) image.reset();
    if (!image) return image;
  } else {
    image = LoadResourceImage(item.resourceId, item.resourceType);
  }
  if (image) image->RotateFlip(static_cast<RotateFlipType>(item.rotateFlip));
  return image;
}

void PrepareSurface(Graphics& g) {
  g.SetSmoothingMode(SmoothingModeAntiAlias);
  g.SetInterpolationMode(InterpolationModeHighQualityBicubic);
}

// A GDI copy of the image, selected into a memory DC, for SRCCOPY blits.
class GdiCopy {
 public:
  GdiCopy(Bitmap& image, HDC target) : dc_(::CreateCompatibleDC(target)) {
    HBITMAP bitmap = nullptr;
    image.GetHBITMAP(Color(0), &bitmap);
    bitmap_.reset(bitmap);
    if (bitmap) select_ = std::make_unique<fw::ScopedSelect>(dc_.get(), bitmap);
  }
  ~GdiCopy() { select_.reset(); }  // deselect before the bitmap goes
  HDC dc() const { return bitmap_ ? dc_.get() : nullptr; }

 private:
  fw::ScopedMemoryDc dc_;
  fw::ScopedGdiObject bitmap_;
  std::unique_ptr<fw::ScopedSelect> select_;
};

void Stretch(HDC target, HDC source, const skin::Area& d, const skin::Area& s) {
  if (source && d.w > 0 && d.h > 0 && s.w > 0 && s.h > 0)
    ::StretchBlt(target, d.x, d.y, d.w, d.h, source, s.x, s.y, s.w, s.h, SRCCOPY);
}

void DrawRectToRect(Graphics& g, Bitmap& image, const skin::Area& d, const skin::Area& s) {
  if (d.w > 0 && d.h > 0 && s.w > 0 && s.h > 0)
    g.DrawImage(&image, Rect(d.x, d.y, d.w, d.h), s.x, s.y, s.w, s.h, UnitPixel);
}

void DrawTiles(Graphics& g, Bitmap& image, const std::vector<skin::Blit>& tiles) {
  for (const skin::Blit& t : tiles) g.DrawImage(&image, t.x, t.y, t.srcX, t.srcY, t.w, t.h, UnitPixel);
}

}  // namespace

SkinImage LoadResourceImage(unsigned resourceId, const std::string& resourceType) {
  if (resourceId == 0) return nullptr;
  HINSTANCE module = AfxGetResourceHandle();
  if (resourceType == "Bitmap") {
    fw::ScopedGdiObject bitmap(::LoadBitmapW(module, MAKEINTRESOURCEW(resourceId)));
    return SkinImage(Bitmap::FromHBITMAP(static_cast<HBITMAP>(bitmap.get()), nullptr));
  }
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(resourceId), fw::Ascii(resourceType).c_str());
  const DWORD size = found ? ::SizeofResource(module, found) : 0;
  const void* bytes = size ? ::LockResource(::LoadResource(module, found)) : nullptr;
  if (!bytes) return EmptyImage();
  HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, size);
  if (!block) return EmptyImage();
  memcpy(::GlobalLock(block), bytes, size);
  ::GlobalUnlock(block);
  IStream* stream = nullptr;
  // The stream owns the block; the image keeps the stream as long as it reads from it.
  if (FAILED(::CreateStreamOnHGlobal(block, TRUE, &stream))) {
    ::GlobalFree(block);
    return EmptyImage();
  }
  SkinImage image(Bitmap::FromStream(stream));
  stream->Release();
  return image;
}

SkinImage LoadFileImage(const std::wstring& path) {
  if (!fw::PathExists(path)) return nullptr;
  SkinImage image(Bitmap::FromFile(path.c_str()));
  // Undecodable or empty: no image at all, so that callers fall back.
  if (!image || image->GetLastStatus() != Ok || image->GetWidth() == 0 || image->GetHeight() == 0) return nullptr;
  return image;
}

void DrawImageItem(HDC dc, const RECT& window, ImageItem item) {
  SkinImage image = ChooseImage(item);
  if (!image) return;
  Graphics g(dc);
  PrepareSurface(g);
  const auto p = skin::PlaceImageItem(item, {window.left, window.top, window.right, window.bottom},
                                      static_cast<int>(image->GetWidth()), static_cast<int>(image->GetHeight()));
  const skin::Area src{p.srcX, p.srcY, p.srcW, p.srcH};
  const skin::Area dst{p.dest.left, p.dest.top, p.dest.Width(), p.dest.Height()};
  if (dst.w == src.w && dst.h == src.h) {
    DrawRectToRect(g, *image, dst, src);
    return;
  }
  switch (item.fillMode) {
    case FillGdiStretch: {
      GdiCopy copy(*image, dc);
      Stretch(dc, copy.dc(), dst, src);
      break;
    }
    case FillStretch:
      DrawRectToRect(g, *image, dst, src);
      break;
    case FillTile:
      DrawTiles(g, *image, skin::TilePlan(dst.x, dst.y, dst.w, dst.h, src.x, src.y, src.w, src.h));
      break;
    default:
      break;
  }
}

void DrawNineGridItem(HDC dc, NineGridItem item) {
  SkinImage image = ChooseImage(item);
  if (!image) return;
  Graphics g(dc);
  PrepareSurface(g);
  const auto plan = skin::PlanNineGrid(item, static_cast<int>(image->GetWidth()), static_cast<int>(image->GetHeight()));
  switch (item.fillMode) {
    case FillGdiStretch: {
      GdiCopy copy(*image, dc);
      for (const auto& piece : plan.middles) Stretch(dc, copy.dc(), piece.dest, piece.src);
      break;
    }
    case FillStretch:
      for (const auto& piece : plan.middles) DrawRectToRect(g, *image, piece.dest, piece.src);
      break;
    case FillTile:
      for (size_t i = 0; i < plan.middles.size(); ++i) {
        const auto& d = plan.middles[i].dest;
        const auto& s = plan.middles[i].src;
        if (i < 2)
          DrawTiles(g, *image, skin::TileDown(d.x, d.y, d.w, d.h, s.x, s.y, s.h));
        else if (i < 4)
          DrawTiles(g, *image, skin::TileRight(d.x, d.y, d.w, d.h, s.x, s.y, s.w));
        else
          DrawTiles(g, *image, skin::TilePlan(d.x, d.y, d.w, d.h, s.x, s.y, s.w, s.h));
      }
      break;
    default:
      break;
  }
  for (const auto& corner : plan.corners) DrawRectToRect(g, *image, corner.dest, corner.src);
}

void DrawBorderItem(HDC dc, BorderItem item) {
  RECT r{item.left, item.top, item.right, item.bottom};
  for (uint32_t color : item.colors) {
    fw::ScopedGdiObject pen(::CreatePen(PS_SOLID, 1, color));
    fw::ScopedGdiObject brush(::CreateSolidBrush(color));
    {
      fw::ScopedSelect selectPen(dc, pen.get());
      fw::ScopedSelect selectBrush(dc, brush.get());
      ::RoundRect(dc, r.left, r.top, r.right, r.bottom, item.ellipseWidth, item.ellipseHeight);
    }
    ::InflateRect(&r, -1, -1);
  }
}

HRGN CreateImageRegion(Gdiplus::Bitmap* image, int left, int top, int width, int height) {
  if (!image) return nullptr;
  const auto runs = skin::OpaqueRuns(left, top, width, height, [image](int x, int y) {
    Color c;
    if (image->GetPixel(x, y, &c) != Ok) return true;  // unreadable counts as opaque black
    return c.GetAlpha() != 0;
  });
  HRGN region = ::CreateRectRgn(0, 0, 0, 0);
  for (const auto& r : runs) {
    fw::ScopedGdiObject piece(::CreateRectRgn(r.left, r.top, r.right, r.bottom));
    ::CombineRgn(region, region, static_cast<HRGN>(piece.get()), RGN_OR);
  }
  return region;
}

void ApplyImageRegion(HWND wnd, Gdiplus::Bitmap* image, int left, int top, int width, int height) {
  if (HRGN region = CreateImageRegion(image, left, top, width, height)) ::SetWindowRgn(wnd, region, TRUE);
}
