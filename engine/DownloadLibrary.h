// The download library, Fetchkit.dll, as the engine reaches it: through its
// header, loaded at run time from a copy of its own ("Fetchkit.loaded.dll"
// beside it). So the install folder's Fetchkit.dll is never in use by the
// updater and is replaced in one step like any other module, and a
// Fetchkit.dll that a stopped installation left missing never keeps the
// updater from starting and putting it back.
#pragma once

#include "fetchkit/HttpDownload.h"

constexpr char kDownloadLibraryName[] = "Fetchkit.dll";
constexpr char kDownloadLibraryCopyName[] = "Fetchkit.loaded.dll";

// A new download instance; null when there is none (no library, no memory).
CHttpDownload* NewDownload();
