// The hand-over to the product at the end of a successful interactive run,
// on a thread of its own: asks the product to exit, waits for its process
// (bounded), installs the staged modules all or nothing, records the release
// and starts the product again; a release it cannot install stays, verified,
// as the pre-load for the next start. The window's thread never waits for any of it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/install/Revert.h"
#include "engine/transfer/DownloadTask.h"
#include "engine/run/RunAccounting.h"
#include "engine/run/UpdateEngine.h"

struct FinishJob {
  EngineSettings settings;
  std::vector<DownloadTask> tasks;
  int64_t releaseNumber = -1;  // of the signed release installed; -1 when unsigned
  std::string manifestSha256;  // names the release, should it become a pre-load
  std::string contentId;
  int probationSeconds = 0;
  HWND notify = nullptr;       // gets WM_FINISH_DONE when the flow is over

  // Filled by Run, read once WM_FINISH_DONE has arrived.
  bool installed = false;
  std::string notInstalled;  // why, when the release could not be installed
  uint32_t failureCode = kResultNotInstalled;  // the report's code, then
  std::vector<std::wstring> pendingDeletes;
  ProductOnProbation probation;  // the product relaunched on the new release, to be watched

  // The whole flow; posts WM_FINISH_DONE at its end.
  void Run();

 private:
  // Asks the product to exit; true once no process runs its program (bounded).
  bool ProductEnded();
  // The installation by the updater itself, or by the update service in a
  // registered folder; true when the release is then on probation.
  bool InstallHere();
  bool InstallByService();
  // The installation cannot happen: the staged release becomes the pre-load.
  void NotInstalled(const std::string& reason);
  // The release's probation: the previous versions' record (made here, or
  // by the service), then the relaunch watched. False when nothing can be watched.
  bool StartProbation();
  void Relaunch();
  // Starts the product; its process handle (the caller's), or null.
  HANDLE Launch();

  std::vector<bool> hadOld;  // whether the folder had each task's module before
};
