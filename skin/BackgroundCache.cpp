#include "skin/BackgroundCache.h"

HDC BackgroundCache::Get(HDC reference, const Key& key, bool& stale) {
  stale = false;
  if (key_ && *key_ == key) return dc_.get();
  stale = true;
  if (key_ && key_->width == key.width && key_->height == key.height) {
    key_ = key;  // same size: the bitmap is reused, its picture is not
    return dc_.get();
  }
  select_.reset();
  bitmap_.reset();
  key_.reset();
  if (!dc_) dc_.reset(::CreateCompatibleDC(reference));
  if (!dc_ || key.width <= 0 || key.height <= 0) return nullptr;
  bitmap_.reset(::CreateCompatibleBitmap(reference, key.width, key.height));
  if (!bitmap_) return nullptr;
  select_.emplace(dc_.get(), bitmap_.get());
  key_ = key;
  return dc_.get();
}
