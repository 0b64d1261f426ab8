#include "engine/install/FolderLock.h"

#include <windows.h>

#include <cctype>
#include <cstdio>

std::string FolderLockName(const std::string& folder) {
  // FNV-1a over the lower-case path: named objects cannot hold backslashes.
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : folder) {
    hash ^= static_cast<unsigned char>(std::tolower(c == '/' ? '\\' : c));
    hash *= 1099511628211ull;
  }
  char name[64];
  std::snprintf(name, sizeof name, "Local\\Velnoria.Updater.%016llx", static_cast<unsigned long long>(hash));
  return name;
}

FolderLock::FolderLock(const std::string& folder) {
  mutex_.reset(::CreateMutexA(nullptr, FALSE, FolderLockName(folder).c_str()));
  if (!mutex_) return;
  const DWORD wait = ::WaitForSingleObject(mutex_.get(), 0);
  held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}
