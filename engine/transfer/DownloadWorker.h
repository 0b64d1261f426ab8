// The download workers of a run: one thread per queued module, each taking
// the cheapest verified way to the module's new file (a patch from the
// installed file, the module deflated, the module itself) into the staging
// or backup folder, and posting WM_DOWNLOAD_FINISHED (result, the module's
// message id) to the engine's window. Nothing that is not the release's
// module is ever left under a module's name.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "engine/run/EngineSettings.h"
#include "engine/transfer/DownloadTask.h"

// A module cannot be longer than its fingerprint can cover (a signed 32-bit length).
constexpr int64_t kModuleMaxBytes = 0x7FFFFFFF;

// Starts one worker per task; a task whose thread cannot start is reported
// at once as failed.
void StartDownloadWorkers(const std::vector<DownloadTask>& tasks, const EngineSettings& settings, KeepPartial keep,
                          HWND window);
