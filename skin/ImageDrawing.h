// Skin artwork: GDI+ bitmaps from resources or files, drawn into a device
// context at natural size, stretched, tiled or as nine slices; window
// regions from an image's opaque pixels. Every draw loads its own copy.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <memory>
#include <string>

#include "skin/SkinItems.h"

using SkinImage = std::unique_ptr<Gdiplus::Bitmap>;

// Null for resource id 0; a missing or undecodable resource gives an image
// without pixels (0 x 0). The type "Bitmap" selects a bitmap resource.
SkinImage LoadResourceImage(unsigned resourceId, const std::string& resourceType);
// Null when the file does not exist.
SkinImage LoadFileImage(const std::wstring& path);

void DrawImageItem(HDC dc, const RECT& window, ImageItem item);
void DrawNineGridItem(HDC dc, NineGridItem item);
void DrawBorderItem(HDC dc, BorderItem item);

// The caller owns the region; null for a null image.
HRGN CreateImageRegion(Gdiplus::Bitmap* image, int left, int top, int width, int height);
// The window takes the region.
void ApplyImageRegion(HWND wnd, Gdiplus::Bitmap* image, int left, int top, int width, int height);
