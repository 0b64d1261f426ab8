#include "engine/transfer/DownloadLibrary.h"

#include <windows.h>

#include <mutex>
#include <string>

#include "framework/Files.h"
#include "framework/Paths.h"

namespace {

using Factory = CHttpDownload* (*)();

struct Library {
  std::mutex lock;
  bool tried = false, released = false;
  HMODULE module = nullptr;
  std::wstring copy;  // the file it was loaded from, when that is the copy
  std::wstring copyFolder;  // where the copy is made; empty: beside the library
  Factory factory = nullptr;
  int alive = 0;  // instances not yet deleted
};

Library& TheLibrary() {
  static Library library;
  return library;
}

void Load(Library& lib) {
  const std::wstring folder = DirectoryUpToLastBackslash(fw::ProgramPath());
  const std::wstring library = PathIn(folder, kDownloadLibraryName);
  const std::wstring copy = PathIn(lib.copyFolder.empty() ? folder : lib.copyFolder, kDownloadLibraryCopyName);
  // The copy is made anew at each start; where it cannot be (a folder that
  // cannot be written, a copy another process has loaded), the library itself is loaded.
  if (::CopyFileW(library.c_str(), copy.c_str(), FALSE) &&
      (lib.module = ::LoadLibraryExW(copy.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)))
    lib.copy = copy;
  if (!lib.module) lib.module = ::LoadLibraryExW(library.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!lib.module && fw::PathExists(copy) &&
      (lib.module = ::LoadLibraryExW(copy.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)))
    lib.copy = copy;
  if (!lib.module) return;
  FARPROC factory = ::GetProcAddress(lib.module, "FetchkitNewInstance");
  if (!factory) factory = ::GetProcAddress(lib.module, "_ZN13CHttpDownload11NewInstanceEv");  // a library of before
  lib.factory = reinterpret_cast<Factory>(reinterpret_cast<void*>(factory));
}

}  // namespace

void DownloadDeleter::operator()(CHttpDownload* download) const {
  delete download;
  Library& lib = TheLibrary();
  const std::lock_guard<std::mutex> hold(lib.lock);
  lib.alive -= 1;
}

Download NewDownload() {
  Library& lib = TheLibrary();
  const std::lock_guard<std::mutex> hold(lib.lock);
  if (!lib.tried) {
    lib.tried = true;
    Load(lib);
  }
  if (lib.released || !lib.factory) return nullptr;
  CHttpDownload* download = lib.factory();
  if (download) lib.alive += 1;
  return Download(download);
}

void PlaceDownloadLibraryCopyIn(const std::wstring& folder) {
  Library& lib = TheLibrary();
  const std::lock_guard<std::mutex> hold(lib.lock);
  lib.copyFolder = folder;
}

void ReleaseDownloadLibrary() {
  Library& lib = TheLibrary();
  const std::lock_guard<std::mutex> hold(lib.lock);
  lib.released = true;
  // A transfer still running (a window closed during the downloads) keeps it.
  if (!lib.module || lib.alive > 0) return;
  ::FreeLibrary(lib.module);
  lib.module = nullptr;
  lib.factory = nullptr;
  if (!lib.copy.empty()) ::DeleteFileW(lib.copy.c_str());
}
