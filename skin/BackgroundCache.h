// The composed background of a skinned window, kept between erases: a
// progress update then costs one copy of the status line instead of a
// repaint of every image of the skin.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "framework/Scoped.h"

class BackgroundCache {
 public:
  // What the composed picture depends on.
  struct Key {
    int width = 0;
    int height = 0;
    uint32_t paintListVersion = 0;
    COLORREF backColor = 0;
    bool operator==(const Key& other) const {
      return width == other.width && height == other.height && paintListVersion == other.paintListVersion &&
             backColor == other.backColor;
    }
  };

  // The cache's DC for `key`, made compatible with `reference`; `stale` is
  // set when its contents must be painted anew. Null when no bitmap of that
  // size can be had.
  HDC Get(HDC reference, const Key& key, bool& stale);

 private:
  // Declared so that the selection is undone before the bitmap and the DC go.
  fw::ScopedMemoryDc dc_;
  fw::ScopedGdiObject bitmap_;
  std::optional<fw::ScopedSelect> select_;
  std::optional<Key> key_;
};
