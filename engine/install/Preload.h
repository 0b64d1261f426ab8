// The pre-load: the backup folder holding exactly the verified modules of one
// release, and the marker that names the release (PreloadMarker), written
// only beside such a set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/install/PreloadMarker.h"
#include "engine/transfer/DownloadTask.h"

// Copies of files the release of `tasks` does not need go (an earlier
// release's); true when every task's module is in the backup folder under
// its name and verifies. The support log names what is missing.
bool PreloadHoldsRelease(const std::wstring& folder, const std::vector<DownloadTask>& tasks);

// The marker of `folder`'s pre-load: read (an absent or unreadable one reads
// as no promise), written whole beside its modules, or taken away.
PreloadMarker ReadPreloadMarker(const std::wstring& folder);
bool WritePreloadMarker(const std::wstring& folder, const std::string& manifestSha256, int64_t release,
                        const std::string& content);
void DropPreloadMarker(const std::wstring& folder);
// Whether the marker of `folder` names the release of content id `content`
// (or, for a marker that names no content, of these very manifest bytes).
bool PreloadIsOf(const std::wstring& folder, const std::string& content, const std::string& manifestSha256);

// What a run in `mode` wrote, deleted (a run that found the disk full frees
// it): the staging folder, or the backup folder's arrivals and modules.
void FreeRunFiles(const std::wstring& folder, int32_t mode);

// For a finish that could not install: the staged modules of `tasks`, each
// verified, become the pre-load of their release, exactly as a background
// run leaves one, so that nothing verified is fetched again. True when the
// marker stands.
bool KeepStagedAsPreload(const std::wstring& folder, const std::vector<DownloadTask>& tasks,
                         const std::string& manifestSha256, int64_t release, const std::string& content);
