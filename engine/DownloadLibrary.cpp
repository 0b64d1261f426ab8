#include "engine/DownloadLibrary.h"

#include <windows.h>

#include <mutex>
#include <string>

#include "framework/Files.h"
#include "framework/Paths.h"

namespace {

using Factory = CHttpDownload* (*)();

Factory LoadFactory() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string folder = DirectoryUpToLastBackslash(path, IsAnsiLeadByte);
  const std::string library = folder + kDownloadLibraryName, copy = folder + kDownloadLibraryCopyName;
  // The copy is made anew at each start; where it cannot be (a folder that
  // cannot be written, a copy another process has loaded), the library itself is loaded.
  HMODULE module = nullptr;
  if (::CopyFileA(library.c_str(), copy.c_str(), FALSE))
    module = ::LoadLibraryExA(copy.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) module = ::LoadLibraryExA(library.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module && fw::PathExists(copy)) module = ::LoadLibraryExA(copy.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) return nullptr;
  // Loaded for the rest of the process: transfers left behind still run in it.
  FARPROC factory = ::GetProcAddress(module, "FetchkitNewInstance");
  if (!factory) factory = ::GetProcAddress(module, "_ZN13CHttpDownload11NewInstanceEv");  // a library of before
  return reinterpret_cast<Factory>(reinterpret_cast<void*>(factory));
}

}  // namespace

CHttpDownload* NewDownload() {
  static std::once_flag loaded;
  static Factory factory = nullptr;
  std::call_once(loaded, [] { factory = LoadFactory(); });
  return factory ? factory() : nullptr;
}
