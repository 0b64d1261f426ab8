// The update engine: the state of the download runs and the operations that
// run them, check the manifest, install the staged modules and hand over to
// the product. It owns its protocol: a message-only window of its own
// receives what its threads post (check and download results, the download
// library's progress, the finish's end) and runs its timers, on the thread
// that made the engine. It shows a run only through UpdateView.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/install/Revert.h"
#include "engine/transfer/DownloadTask.h"
#include "engine/run/ArrivalTally.h"
#include "engine/run/EngineMessages.h"
#include "engine/run/EngineSettings.h"
#include "engine/run/OutcomeReport.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/run/ProgressMath.h"
#include "engine/run/RunAccounting.h"
#include "engine/run/UpdateView.h"
#include "framework/Wnd.h"

class ManifestCheck;
struct FinishJob;

class UpdateEngine : private CWnd {
 public:
  UpdateEngine(UpdateView& view, EngineSettings settings);
  ~UpdateEngine() override;
  UpdateEngine(const UpdateEngine&) = delete;
  UpdateEngine& operator=(const UpdateEngine&) = delete;

  // The updater-exit event closes the window from now on (the end of the
  // window's initialisation).
  void WatchForUpdaterExit();

  // Download runs.
  void StartUpdate(KeepPartial keep);
  void ResetRun();
  // The tasks of a run whose manifest check is done (normally handed over by
  // OnManifestChecked).
  void TakeCheckedTasks(std::vector<DownloadTask> tasks);

  // The hand-over to the product, once a run succeeded: hides the window and
  // runs on a thread of its own (the product's exit, the installation, the
  // relaunch); its end arms the finish timer. At most once.
  void FinishUpdate();
  // A request to close the window: true when it may close now. During the
  // finish it is held, so that no installation is cut short, and the window
  // is closed as soon as the finish has reported.
  bool MayClose();
  // Leaving the mandatory update: the product is asked to exit.
  void AskProductToExit();

  // What the engine's window receives, as typed calls.
  // `outcome` is the check's (kCheckDone, kCheckFailed or kCheckUnwritable).
  void OnManifestChecked(unsigned outcome, int32_t run);
  // `messageId` names the module (0 when no worker could say); `way` says
  // how a fetched module came (kWayWhole, kWayKept, kWayCheaper + index).
  void OnDownloadFinished(unsigned result, uint32_t messageId = 0, uint32_t way = kWayNone);
  // A progress report of module `slot` (ProgressSlotOfMessage): its size (0: not
  // yet known) and the bytes received so far.
  void OnModuleProgress(int slot, uint32_t total, uint32_t received);
  void OnFinishDone();
  void OnFinishTimer();
  void OnProgressTimer();
  void OnUpdaterExit();

  UpdateState State() const { return m_state; }
  // The run found the release not offered here (the window shows why).
  bool HeldBack() const { return m_heldBack; }
  int32_t RunCount() const { return m_runCount; }
  KeepPartial Keep() const { return m_keepPartial; }
  bool Finishing() const { return m_finish != nullptr; }
  const EngineSettings& Settings() const { return m_settings; }
  const std::vector<DownloadTask>& Tasks() const { return m_downloadTasks; }
  const std::vector<std::wstring>& PendingDeletes() const { return m_pendingDeletes; }
  // Why the finish could not install the release (empty when it did, or none ran).
  const std::string& NotInstalled() const { return m_notInstalled; }
  // The product relaunched on the release just installed, to be watched; null when none.
  std::shared_ptr<ProductOnProbation> Probation() const { return m_probation; }
  // What the runs came to so far, for the outcome report: the mode, the end,
  // the first error, the release checked and how its modules came.
  OutcomeReport Outcome() const;
  // The running manifest check, for those who wait for its end.
  std::weak_ptr<ManifestCheck> CurrentCheck() const { return m_check; }

 private:
  LRESULT OnManifestCheckedMessage(WPARAM outcome, LPARAM run);
  LRESULT OnDownloadFinishedMessage(WPARAM result, LPARAM module);
  LRESULT OnProgressMessage(WPARAM, LPARAM record);
  LRESULT OnFinishDoneMessage(WPARAM, LPARAM);
  LRESULT OnUpdaterExitMessage(WPARAM, LPARAM);
  LRESULT OnTimerMessage(WPARAM id, LPARAM);
  DECLARE_MESSAGE_MAP()

 private:
  // Mode 3's end: the backup folder holds exactly this run's modules, each
  // verified; only then does the marker, naming the release, stand beside them.
  bool PreloadComplete();
  void WriteMarker();
  // A run that failed for lack of space deletes what it wrote.
  void FreeWhatTheRunWrote();
  void ClearRun();
  void CompleteRun(RunOutcome outcome);
  // The running check's tasks, release number and manifest, once its list is complete.
  void TakeTasksOfCheck();
  // What the check that posted its outcome found, for the outcome report.
  void NoteCheck(const ManifestCheck& check);
  void OnHeldBack();
  RunEnd EndOfRun() const;
  void Present(const ProgressUpdate& update);

  UpdateView& m_view;
  const EngineSettings m_settings;
  // The running manifest check; its thread holds it too, so it lives as long
  // as either needs it. The same for the finish.
  std::shared_ptr<ManifestCheck> m_check;
  std::shared_ptr<FinishJob> m_finish;
  bool m_finishStarted = false;
  bool m_closeHeld = false;

  std::vector<DownloadTask> m_downloadTasks;
  bool m_tasksTaken = false;  // from this run's check
  int32_t m_runCount = 0;
  int32_t m_reportedModules = 0;
  int32_t m_succeeded = 0;
  int32_t m_failed = 0;
  int32_t m_failedUnannounced = 0;  // failed modules that never announced a size
  uint32_t m_totalBytes = 0;
  uint32_t m_doneBytes = 0;
  uint32_t m_moduleBytes[kProgressSlots] = {};
  uint32_t m_moduleSizes[kProgressSlots] = {};
  bool m_firstReport[kProgressSlots] = {};
  ProgressPacer m_progressPacer;
  KeepPartial m_keepPartial = KeepPartial::No;
  UpdateState m_state = UpdateState::Idle;
  std::vector<std::wstring> m_pendingDeletes;
  std::string m_notInstalled;
  // The release the current run installs: its signed number (-1 when
  // unsigned) and its manifest's SHA-256.
  int64_t m_releaseNumber = -1;
  std::string m_manifestSha256;
  int m_probationSeconds = 0;
  std::shared_ptr<ProductOnProbation> m_probation;  // the relaunched product, once the finish has installed
  std::string m_contentId;  // ReleaseContentId: names the release a pre-load holds
  bool m_noSpace = false;  // a transfer of this run found the disk full
  // For the outcome report: what the runs found, and how each module's
  // bytes came (by progress slot, across the runs: a retry keeps a module
  // an earlier run fetched).
  OutcomeReport m_report;
  ArrivalTally m_arrivals;
  bool m_heldBack = false;
  bool m_markerWritten = false;
  bool m_finishDone = false;
};
