// One updater per install folder: a named mutex derived from the folder's
// path, held for the whole run. Every temporary file of a run lies inside
// this lock, and a second updater started meanwhile ends at once.
#pragma once

#include <string>

#include "framework/Scoped.h"

// The folder as the file system knows it: its final path (long names, links
// resolved), without the "\\?\" prefix or a trailing backslash, in upper case
// as the file system compares names. The path as given when it cannot be opened.
std::wstring CanonicalFolder(const std::wstring& folder);

// "Global\Velnoria.Updater." and 16 hexadecimal digits of the canonical
// folder: one name for every spelling of the folder (an 8.3 name, another
// case) and every user of the machine (a per-machine install).
std::string FolderLockName(const std::wstring& folder);
// The name updaters before it used, from the path as given ("Local\..."):
// held too, so that an older updater still running is not run beside.
std::string LegacyFolderLockName(const std::wstring& folder);

class FolderLock {
 public:
  // Takes the lock at once, or not at all. A lock that an updater which was
  // killed left behind is taken as well.
  explicit FolderLock(const std::wstring& folder);
  bool Held() const { return held_; }

 private:
  fw::ScopedHandle mutex_;
  fw::ScopedHandle legacy_;
  bool held_ = false;
};
