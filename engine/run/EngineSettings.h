// What a run is given: the hand-off block's order, the install folder, the
// release keys; and whether a run keeps what an earlier one left.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/release/Rollout.h"
#include "engine/run/EngineMessages.h"

// What the engine takes from the hand-off block and the start-up.
struct EngineSettings {
  int32_t mode = 0;
  std::string serverBase;
  // Where the run writes (staging, pre-load, records, the support log):
  // the install folder, or for a per-machine install the user's work folder
  // (engine/install/ServiceClient.h). Ends with a backslash.
  std::wstring moduleDirectory;
  // The product's process, found from its window when the block was read
  // (null when it could not be): the finish waits for it even if the window
  // is gone by then. Owned by whoever made the settings.
  HANDLE productProcess = nullptr;
  // Public release keys (X || Y); none: releases are not checked for a signature.
  std::vector<std::string> releaseKeys;
  // Progress is shown at most this often; later reports wait for a timer.
  uint32_t progressIntervalMs = PROGRESS_PRESENT_INTERVAL_MS;
  // The administrator's policy (engine/run/Policy.h).
  UpdatePolicy policy;
  // Mode 1 shows its offer although the start check could not decide
  // whether the release is offered here: the run the user starts then
  // carries on past a stage (DecideOffer).
  bool stageUndecided = false;
  // Where the product's modules are read and started from, when it is not
  // moduleDirectory; and whether they are installed there by the update
  // service rather than by the updater.
  std::wstring installFolder = {};
  bool throughService = false;
  const std::wstring& InstallFolder() const { return installFolder.empty() ? moduleDirectory : installFolder; }
};

// Whether a run's workers keep what an earlier run left at a module's
// target (a retry resumes it) or start each module afresh.
enum class KeepPartial : int32_t { No = 0, Yes = 1 };
