// The update engine: the state of the download runs and the operations that
// run them, check the manifest, install the staged modules and hand over to
// the product. The update window holds one and shows what it asks for through
// UpdateView; the engine's threads reach the window only by posted messages,
// which the window hands back to the engine.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/DownloadTask.h"
#include "engine/ModuleCatalogue.h"
#include "engine/ProgressMath.h"
#include "engine/RunAccounting.h"
#include "engine/UpdateView.h"

// What the engine takes from the hand-off block and the start-up.
struct EngineSettings {
  int32_t mode = 0;
  std::string serverBase;
  std::string moduleDirectory;  // ends with a backslash
  HWND productWindow = nullptr;
  // Public release keys (X || Y); none: releases are not checked for a signature.
  std::vector<std::string> releaseKeys;
};

class ManifestCheck;

// How long the installation waits, in all, for a module held by another
// program before it puts the old release back.
constexpr DWORD kInstallLockWaitMs = 5000;
constexpr DWORD kInstallRetryMs = 200;

class UpdateEngine {
 public:
  UpdateEngine(UpdateView& view, EngineSettings settings);
  ~UpdateEngine();
  UpdateEngine(const UpdateEngine&) = delete;
  UpdateEngine& operator=(const UpdateEngine&) = delete;

  // Download runs.
  void StartUpdate(int32_t keepPartial);
  void ResetRun();
  // The tasks of a run whose manifest check is done (normally handed over by
  // OnManifestChecked).
  void TakeCheckedTasks(std::vector<DownloadTask> tasks);

  // Installation and the hand-over to the product. All or nothing: true when
  // every staged module is in place; otherwise every module keeps its old
  // version and the staged files stay for a later attempt.
  bool InstallModules();
  void FinishUpdate();

  // Posted messages and timers, handed over by the window.
  // `outcome` is the check's (kCheckDone, kCheckFailed or kCheckUnwritable).
  void OnManifestChecked(unsigned outcome, int32_t run);
  // `messageId` names the module (0 when no worker could say).
  void OnDownloadFinished(unsigned result, uint32_t messageId = 0);
  // A progress record of module `slot` (catalogue index): {-, size, received}.
  void OnModuleProgress(int slot, const uint32_t* record);
  void OnFinishTimer();

  UpdateState State() const { return m_state; }
  int32_t RunCount() const { return m_runCount; }
  int32_t KeepPartial() const { return m_keepPartial; }
  const EngineSettings& Settings() const { return m_settings; }
  const std::vector<DownloadTask>& Tasks() const { return m_downloadTasks; }
  const std::vector<std::string>& PendingDeletes() const { return m_pendingDeletes; }

 private:
  std::string MarkerPath() const;
  bool BackgroundSetComplete() const;
  void ClearRun();
  void CompleteRun(RunOutcome outcome);

  UpdateView& m_view;
  const EngineSettings m_settings;
  // The running manifest check; its thread holds it too, so it lives as long
  // as either needs it.
  std::shared_ptr<ManifestCheck> m_check;

  std::vector<DownloadTask> m_downloadTasks;
  int32_t m_runCount = 0;
  int32_t m_reportedModules = 0;
  int32_t m_succeeded = 0;
  int32_t m_failed = 0;
  int32_t m_failedUnannounced = 0;  // failed modules that never announced a size
  uint32_t m_totalBytes = 0;
  uint32_t m_doneBytes = 0;
  uint32_t m_moduleBytes[kModuleCount] = {};
  bool m_firstReport[kModuleCount] = {};
  int32_t m_keepPartial = 0;
  UpdateState m_state = UpdateState::Idle;
  std::vector<std::string> m_pendingDeletes;
  // The number of the signed release the current run installs; -1 when unsigned.
  int64_t m_releaseNumber = -1;
};
