#include "engine/install/FolderLock.h"

#include <windows.h>

#include <cctype>
#include <cstdio>

#include "framework/Text.h"

std::string FolderLockName(const std::wstring& folder) {
  // FNV-1a over the path's UTF-8 bytes, ASCII letters in lower case: named
  // objects cannot hold backslashes. (An ASCII path keeps the name it had
  // when paths were 8-bit.)
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : fw::Utf8(folder)) {
    hash ^= static_cast<unsigned char>(std::tolower(c == '/' ? '\\' : c));
    hash *= 1099511628211ull;
  }
  char name[64];
  std::snprintf(name, sizeof name, "Local\\Velnoria.Updater.%016llx", static_cast<unsigned long long>(hash));
  return name;
}

FolderLock::FolderLock(const std::wstring& folder) {
  mutex_.reset(::CreateMutexA(nullptr, FALSE, FolderLockName(folder).c_str()));
  if (!mutex_) return;
  const DWORD wait = ::WaitForSingleObject(mutex_.get(), 0);
  held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}
