// The download library, Fetchkit.dll, as the engine reaches it: through its
// header, loaded at run time from a copy of its own ("Fetchkit.loaded.dll"
// in the user's folder for the install folder). So the install folder's
// Fetchkit.dll is never in use by the updater and is replaced in one step
// like any other module, and a Fetchkit.dll that a stopped installation left
// missing never keeps the updater from starting and putting it back. At the
// updater's end the copy goes again.
#pragma once

#include <memory>

#include "fetchkit/HttpDownload.h"

constexpr char kDownloadLibraryName[] = "Fetchkit.dll";
constexpr char kDownloadLibraryCopyName[] = "Fetchkit.loaded.dll";

struct DownloadDeleter {
  void operator()(CHttpDownload* download) const;
};
using Download = std::unique_ptr<CHttpDownload, DownloadDeleter>;

// A new download instance; null when there is none (no library, no memory,
// or the library has been let go).
Download NewDownload();

// Before the first download: the copy is made in `folder` (the user's own
// folder for the install folder); without it, beside the library.
void PlaceDownloadLibraryCopyIn(const std::wstring& folder);

// At the updater's end: when no instance is alive any more, the library is
// unloaded and the copy it was loaded from deleted (the library's own
// threads still running keep it loaded; the next start replaces the copy
// then). No instance is made afterwards.
void ReleaseDownloadLibrary();
