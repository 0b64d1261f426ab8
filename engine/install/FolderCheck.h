// Before a run fetches anything: the install folder can take it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/transfer/DownloadTask.h"

// The run can stage (or pre-load) and install: every path it will use fits,
// the target folder can be made, and a file written, renamed and deleted in
// the install folder. The support log says what is wrong, and `run` names
// the run there.
bool RunFoldersWritable(const std::wstring& folder, int32_t mode, int32_t run);

// Whether the install folder's disk has room for what the run will write:
// each module it fetches (its listed size; else the installed file's, the
// nearest guess) unless a file of that size is already at its target, a copy
// of each old version the installation cannot keep by a second name (the
// updater's own program, in use), and a margin for the journal, the marker
// and the support log. The support log says what is missing.
bool RoomForRun(const std::wstring& folder, int32_t mode, const std::vector<DownloadTask>& tasks, int32_t run);
// Bytes a run needs beyond its files.
constexpr int64_t kRunRoomMargin = 1 << 20;
