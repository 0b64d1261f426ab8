// Anti-aliased GDI+ text from a StyledText record.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <string>

#include "skin/SkinItems.h"

// `wnd` serves only the window-relative box rules.
void DrawStyledText(HWND wnd, HDC dc, const StyledText& text);

// The text four times, `a` pixels left, right, up and down of the box.
void DrawTextOutline(int a, Gdiplus::Graphics& g, const std::wstring& text, const Gdiplus::Font* font,
                     const Gdiplus::RectF& box, Gdiplus::StringFormat& format, uint32_t argb, bool ellipsis);
