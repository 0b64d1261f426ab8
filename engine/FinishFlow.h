// The hand-over to the product at the end of a successful interactive run,
// on a thread of its own: asks the product to exit, waits for its process
// (bounded), installs the staged modules all or nothing, records the release
// and starts the product again. The window's thread never waits for any of it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/DownloadTask.h"
#include "engine/UpdateEngine.h"

struct FinishJob {
  EngineSettings settings;
  std::vector<DownloadTask> tasks;
  int64_t releaseNumber = -1;  // of the signed release installed; -1 when unsigned
  HWND notify = nullptr;       // gets WM_FINISH_DONE when the flow is over

  // Filled by Run, read once WM_FINISH_DONE has arrived.
  bool installed = false;
  std::vector<std::string> pendingDeletes;

  // The whole flow; posts WM_FINISH_DONE at its end.
  void Run();
};
