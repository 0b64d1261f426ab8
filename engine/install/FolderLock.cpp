#include "engine/install/FolderLock.h"

#include <windows.h>
#include <sddl.h>

#include <cctype>
#include <cstdio>

#include "framework/Files.h"
#include "framework/Text.h"

namespace {

// FNV-1a over the path's UTF-8 bytes, ASCII letters in lower case: named
// objects cannot hold backslashes.
std::string LockName(const char* space, const std::wstring& path) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : fw::Utf8(path)) {
    hash ^= static_cast<unsigned char>(std::tolower(c == '/' ? '\\' : c));
    hash *= 1099511628211ull;
  }
  char name[64];
  std::snprintf(name, sizeof name, "%s\\Velnoria.Updater.%016llx", space, static_cast<unsigned long long>(hash));
  return name;
}

std::wstring FinalPath(const std::wstring& folder) {
  const fw::ScopedFile handle(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  const std::wstring final = handle ? fw::FinalPathOf(handle.get()) : std::wstring();
  if (!final.empty()) return final;
  std::wstring buffer(32768, L'\0');
  const DWORD size = static_cast<DWORD>(buffer.size());
  const DWORD n = ::GetLongPathNameW(folder.c_str(), &buffer[0], size);
  return n > 0 && n < size ? buffer.substr(0, n) : folder;
}

// Every user may open the lock to wait on it; nobody but its creator may change it.
bool EveryoneMayOpen(SECURITY_ATTRIBUTES& attributes) {
  attributes = {sizeof attributes, nullptr, FALSE};
  return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x00100001;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)",
                                                                  SDDL_REVISION_1, &attributes.lpSecurityDescriptor,
                                                                  nullptr) != FALSE;
}

bool Take(fw::ScopedHandle& mutex) {
  if (!mutex) return false;
  const DWORD wait = ::WaitForSingleObject(mutex.get(), 0);
  return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

}  // namespace

std::wstring CanonicalFolder(const std::wstring& folder) {
  std::wstring path = FinalPath(folder);
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
    path = L"\\\\" + path.substr(8);
  else if (path.rfind(L"\\\\?\\", 0) == 0)
    path = path.substr(4);
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  if (!path.empty()) ::CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
  return path;
}

std::string FolderLockName(const std::wstring& folder) { return LockName("Global", CanonicalFolder(folder)); }

std::string LegacyFolderLockName(const std::wstring& folder) { return LockName("Local", folder); }

FolderLock::FolderLock(const std::wstring& folder) {
  SECURITY_ATTRIBUTES attributes;
  const bool described = EveryoneMayOpen(attributes);
  mutex_.reset(::CreateMutexA(described ? &attributes : nullptr, FALSE, FolderLockName(folder).c_str()));
  // Opened when another user made it (its descriptor lets everyone wait on it).
  if (!mutex_) mutex_.reset(::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, FolderLockName(folder).c_str()));
  if (described) ::LocalFree(attributes.lpSecurityDescriptor);
  legacy_.reset(::CreateMutexA(nullptr, FALSE, LegacyFolderLockName(folder).c_str()));
  // Without a global lock (a system that refuses it) the folder's own spelling still guards.
  held_ = (!mutex_ || Take(mutex_)) && Take(legacy_);
}
