// One updater per install folder: a named mutex derived from the folder's
// path, held for the whole run. Every temporary file of a run lies inside
// this lock, and a second updater started meanwhile ends at once.
#pragma once

#include <string>

#include "framework/Scoped.h"

// "Local\Velnoria.Updater." and 16 hexadecimal digits of the folder's path,
// compared without regard to case.
std::string FolderLockName(const std::wstring& folder);

class FolderLock {
 public:
  // Takes the lock at once, or not at all. A lock that an updater which was
  // killed left behind is taken as well.
  explicit FolderLock(const std::wstring& folder);
  bool Held() const { return held_; }

 private:
  fw::ScopedHandle mutex_;
  bool held_ = false;
};
