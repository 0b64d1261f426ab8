// The engine's side on the thread that made it: runs and their accounting,
// progress counting and pacing, the start of the finish and its last cleanup.
#include "engine/run/UpdateEngine.h"

#include <algorithm>
#include <utility>

#include "engine/install/FinishFlow.h"
#include "engine/install/InstallPaths.h"
#include "engine/install/Preload.h"
#include "engine/install/SetAside.h"
#include "engine/install/ProductLink.h"
#include "engine/release/ManifestCheck.h"
#include "engine/run/SupportLog.h"
#include "engine/run/UpdateMode.h"
#include "fetchkit/HttpDownload.h"
#include "framework/Files.h"
#include "framework/Thread.h"

namespace {

// Moves the token position of the progress bar; counts for the whole process.
int32_t g_aliveCounter = 0;

}  // namespace

UpdateEngine::UpdateEngine(UpdateView& view, EngineSettings settings)
    : m_view(view), m_settings(std::move(settings)), m_progressPacer(m_settings.progressIntervalMs) {
  if (!CreateMessageWindow()) SupportLog(m_settings.moduleDirectory, "engine: no message window (error %lu)", ::GetLastError());
  ClearRun();
}

// A manifest check or a finish still running keeps its own share of what it
// uses; what it posts to the window that goes with the engine is dropped.
UpdateEngine::~UpdateEngine() { DestroyWindow(); }

BEGIN_MESSAGE_MAP(UpdateEngine, CWnd)
  ON_MESSAGE(WM_MANIFEST_CHECKED, OnManifestCheckedMessage)
  ON_MESSAGE(WM_DOWNLOAD_FINISHED, OnDownloadFinishedMessage)
  ON_MESSAGE_RANGE(kFirstProgressMessage, kLastProgressMessage, OnProgressMessage)
  ON_MESSAGE(kServiceMessageId, OnProgressMessage)
  ON_MESSAGE(WM_FINISH_DONE, OnFinishDoneMessage)
  ON_MESSAGE(WM_UPDATER_EXIT, OnUpdaterExitMessage)
  ON_MESSAGE(WM_TIMER, OnTimerMessage)
END_MESSAGE_MAP()

LRESULT UpdateEngine::OnManifestCheckedMessage(WPARAM outcome, LPARAM run) {
  OnManifestChecked(static_cast<unsigned>(outcome), static_cast<int32_t>(run));
  return 1;
}

LRESULT UpdateEngine::OnDownloadFinishedMessage(WPARAM result, LPARAM module) {
  OnDownloadFinished(static_cast<unsigned>(result), MessageIdOfParam(module), WayOfParam(module));
  return 1;
}

LRESULT UpdateEngine::OnProgressMessage(WPARAM, LPARAM lParam) {
  // The download library's record stays valid until this returns.
  const auto* record = reinterpret_cast<const FkProgress*>(lParam);
  const int slot = ProgressSlotOfMessage(GetCurrentMessage().message);
  if (record && slot >= 0) OnModuleProgress(slot, record->total, record->received);
  return 1;
}

LRESULT UpdateEngine::OnFinishDoneMessage(WPARAM, LPARAM) {
  OnFinishDone();
  return 1;
}

LRESULT UpdateEngine::OnUpdaterExitMessage(WPARAM, LPARAM) {
  OnUpdaterExit();
  return 1;
}

LRESULT UpdateEngine::OnTimerMessage(WPARAM id, LPARAM) {
  if (id == FINISH_TIMER_ID) OnFinishTimer();
  if (id == PROGRESS_TIMER_ID) OnProgressTimer();
  return 0;
}

void UpdateEngine::WatchForUpdaterExit() {
  HWND window = m_hWnd;
  fw::StartDetached([window] { UpdaterExitWatcher(window, WM_UPDATER_EXIT); });
}

// Runs.

void UpdateEngine::ResetRun() {
  // A report kept for the progress timer belongs to its run only.
  if (m_hWnd) ::KillTimer(m_hWnd, PROGRESS_TIMER_ID);
  m_progressPacer.Reset();
  ClearRun();
}

void UpdateEngine::ClearRun() {
  m_downloadTasks.clear();
  m_tasksTaken = false;
  m_noSpace = false;
  m_reportedModules = 0;
  m_succeeded = 0;
  m_failed = 0;
  m_failedUnannounced = 0;
  m_totalBytes = 0;
  m_doneBytes = 0;
  for (int i = 0; i < kProgressSlots; ++i) {
    m_moduleBytes[i] = 0;
    m_moduleSizes[i] = 0;
    m_firstReport[i] = true;
  }
}

void UpdateEngine::StartUpdate(KeepPartial keep) {
  m_keepPartial = keep;
  ResetRun();
  // (The run's check takes the marker away before the backup folder changes.)
  m_runCount += 1;
  m_state = UpdateState::Running;
  m_check = std::make_shared<ManifestCheck>(m_settings, m_runCount, m_keepPartial, m_hWnd);
  std::shared_ptr<ManifestCheck> share = m_check;
  if (!fw::StartDetached([share] { share->CheckForUpdates(); })) {
    // No thread, no check: the run fails like one whose manifest did not come.
    ::PostMessageW(m_hWnd, WM_MANIFEST_CHECKED, kCheckFailed, static_cast<LPARAM>(m_runCount));
  }
}

void UpdateEngine::TakeCheckedTasks(std::vector<DownloadTask> tasks) { m_downloadTasks = std::move(tasks); }

void UpdateEngine::TakeTasksOfCheck() {
  if (m_tasksTaken) return;
  m_tasksTaken = true;
  TakeCheckedTasks(m_check->Tasks());
  m_releaseNumber = m_check->ReleaseNumber();
  m_manifestSha256 = m_check->ManifestSha256();
  m_contentId = m_check->ContentId();
  m_probationSeconds = m_check->ProbationSeconds();
}

void UpdateEngine::NoteCheck(const ManifestCheck& check) {
  if (check.ProblemStage() != RunStage::None) m_report.FirstError(check.ProblemStage(), check.ProblemCode());
  const Offer& offer = check.OfferMade();
  if (offer.stagePercent >= 0) m_report.stagePercent = offer.stagePercent;
  const int64_t release = check.ReleaseNumber() >= 0 ? check.ReleaseNumber() : offer.release;
  if (release >= 0) m_report.release = release;
  if (!check.ContentId().empty()) m_report.content = check.ContentId();
}

void UpdateEngine::OnManifestChecked(unsigned outcome, int32_t run) {
  if (run != m_runCount || m_state != UpdateState::Running) return;
  if (m_check) NoteCheck(*m_check);
  // No retry makes an install folder writable or its disk larger: the
  // failure shows at once.
  if (outcome == kCheckHeldBack) {
    OnHeldBack();
    return;
  }
  if (outcome == kCheckUnwritable || outcome == kCheckNoSpace) {
    m_check.reset();
    // Nothing of the run was written: nothing to free.
    CompleteRun(RunOutcome::Failed);
    return;
  }
  const bool failed = outcome != kCheckDone;
  if (m_check && m_check->TasksComplete()) TakeTasksOfCheck();
  m_check.reset();
  // A run with tasks ends with its workers' results; one without ends here:
  // its manifest did not come (a failed run) or no module differs (a
  // success with nothing to do).
  if (!m_downloadTasks.empty()) return;
  if (failed) m_failed += 1;
  CompleteRun(DecideRun(m_succeeded, m_failed, 0, m_runCount));
}

void UpdateEngine::OnHeldBack() {
  // Nothing to do for this installation yet: no success is shown and the
  // product is not restarted as if updated; the window says what holds it.
  const Offer offer = m_check ? m_check->OfferMade() : Offer{};
  m_check.reset();
  m_heldBack = true;
  m_state = UpdateState::Idle;
  if (m_settings.mode == ModeBackground) {
    m_view.Close(CloseReason::RunOver);
    return;
  }
  const std::string why = offer.pinnedAt >= 0 ? "the administrator holds this installation at release " +
                                                    std::to_string(offer.pinnedAt)
                         : offer.Halted() ? std::string("the release team has halted the release")
                                          : "the release's stage no longer reaches this installation";
  SupportLog(m_settings.moduleDirectory, "run %d: held back, the window says so: %s", m_runCount, why.c_str());
  m_view.ShowHeldBack(offer.pinnedAt);
}

void UpdateEngine::OnDownloadFinished(unsigned result, uint32_t messageId, uint32_t way) {
  if (CountsAsSuccess(result)) {
    m_succeeded += 1;
    m_arrivals.Note(m_downloadTasks, messageId, way, m_settings.moduleDirectory, m_settings.mode);
  } else {
    m_failed += 1;
    m_report.FirstError(result == FK_DISK_FULL                ? RunStage::Space
                        : result == kResultFingerprintMismatch ? RunStage::Verify
                        : result == kResultNotStored           ? RunStage::Store
                                                               : RunStage::Download,
                        result);
    const int slot = ProgressSlotOfMessage(messageId);
    if (slot < 0 || m_firstReport[slot]) m_failedUnannounced += 1;
    if (result == FK_DISK_FULL) m_noSpace = true;
  }
  CompleteRun(DecideRun(m_succeeded, m_failed, static_cast<int32_t>(m_downloadTasks.size()), m_runCount));
}

RunEnd UpdateEngine::EndOfRun() const {
  if (m_heldBack) return RunEnd::HeldBack;
  switch (m_state) {
    case UpdateState::Idle:
      return RunEnd::Declined;
    case UpdateState::Running:
      return RunEnd::Cancelled;
    case UpdateState::Failed:
      return m_report.stage == RunStage::Trust || m_report.stage == RunStage::Cache ? RunEnd::Refused : RunEnd::Failed;
    case UpdateState::Succeeded:
      if (m_downloadTasks.empty()) return RunEnd::Current;
      if (m_settings.mode == ModeBackground) return m_markerWritten ? RunEnd::Preloaded : RunEnd::Failed;
      if (!m_finishDone) return RunEnd::Cancelled;
      return m_notInstalled.empty() ? RunEnd::Installed : RunEnd::Failed;
  }
  return RunEnd::Failed;
}

OutcomeReport UpdateEngine::Outcome() const {
  OutcomeReport r = m_report;
  r.mode = m_settings.mode;
  r.end = EndOfRun();
  m_arrivals.AddTo(r, m_downloadTasks);
  return r;
}

void UpdateEngine::CompleteRun(RunOutcome outcome) {
  const bool background = m_settings.mode == ModeBackground;
  // No retry while the disk is full.
  if (outcome == RunOutcome::Retry && m_noSpace) outcome = RunOutcome::Failed;
  static const char* const kOutcome[] = {"pending", "succeeded", "failed, retrying", "failed, no retry left"};
  if (outcome != RunOutcome::Pending)
    SupportLog(m_settings.moduleDirectory, "run %d: %s (%d of %u fetched)", m_runCount,
               kOutcome[static_cast<int>(outcome)], m_succeeded, static_cast<unsigned>(m_downloadTasks.size()));
  switch (outcome) {
    case RunOutcome::Pending:
      return;
    case RunOutcome::Succeeded:
      m_state = UpdateState::Succeeded;
      if (background) {
        // Nothing pre-loaded (the installed release is this one), nothing to announce.
        if (!m_downloadTasks.empty()) {
          if (PreloadComplete())
            WriteMarker();
          else
            m_report.FirstError(RunStage::Verify, kResultFingerprintMismatch);
        }
        m_view.Close(CloseReason::RunOver);
      } else {
        m_view.ShowSuccess();
      }
      return;
    case RunOutcome::Retry:
      StartUpdate(KeepPartial::Yes);
      return;
    case RunOutcome::Failed:
      m_state = UpdateState::Failed;
      if (m_noSpace) FreeWhatTheRunWrote();
      if (background)
        m_view.Close(CloseReason::RunOver);
      else
        m_view.ShowFailure();
      return;
  }
}

bool UpdateEngine::PreloadComplete() { return PreloadHoldsRelease(m_settings.moduleDirectory, m_downloadTasks); }

void UpdateEngine::WriteMarker() {
  // The marker names the release it promises; it is written whole or not at all.
  const bool written = WritePreloadMarker(m_settings.moduleDirectory, m_manifestSha256, m_releaseNumber, m_contentId);
  m_markerWritten = written;
  if (!written) m_report.FirstError(RunStage::Store, kResultNotStored);
  SupportLog(m_settings.moduleDirectory, "pre-load: %u module(s) verified; %s", static_cast<unsigned>(m_downloadTasks.size()),
             written ? "the marker is written" : "the marker could not be written");
}

void UpdateEngine::FreeWhatTheRunWrote() {
  FreeRunFiles(m_settings.moduleDirectory, m_settings.mode);
  SupportLog(m_settings.moduleDirectory, "run %d: the install folder's disk is full: nothing more is tried, and what "
             "the run wrote is deleted", m_runCount);
}

// Progress.

void UpdateEngine::OnModuleProgress(int slot, uint32_t total, uint32_t received) {
  if (slot < 0 || slot >= kProgressSlots) return;
  // The download library sends its progress, so a worker's first report can
  // overtake the check's posted result: the run's tasks, complete before any
  // worker started, are taken here then. A report with no task of the run
  // to count against is dropped.
  if (m_check && m_check->TasksComplete()) TakeTasksOfCheck();
  if (m_downloadTasks.empty()) return;
  m_moduleBytes[slot] = received;
  ProgressCounters counters{m_reportedModules, m_totalBytes, m_doneBytes};
  const ProgressUpdate update =
      StepProgress(counters, m_firstReport[slot], m_moduleSizes[slot], m_moduleBytes, kProgressSlots, total, m_succeeded, m_failed,
                   m_failedUnannounced, static_cast<int32_t>(m_downloadTasks.size()), g_aliveCounter);
  m_reportedModules = counters.reportedModules;
  m_totalBytes = counters.totalBytes;
  m_doneBytes = counters.doneBytes;
  uint32_t timerMs = 0;
  switch (m_progressPacer.Offer(update, ::GetTickCount64(), timerMs)) {
    case ProgressPacer::Action::Show:
      Present(update);
      break;
    case ProgressPacer::Action::ArmTimer:
      ::SetTimer(m_hWnd, PROGRESS_TIMER_ID, timerMs, nullptr);
      break;
    case ProgressPacer::Action::None:
      break;
  }
}

void UpdateEngine::OnProgressTimer() {
  ::KillTimer(m_hWnd, PROGRESS_TIMER_ID);
  const std::optional<ProgressUpdate> kept = m_progressPacer.Tick(::GetTickCount64());
  // A tick after the run has ended shows nothing.
  if (kept && m_state == UpdateState::Running) Present(*kept);
}

void UpdateEngine::Present(const ProgressUpdate& update) {
  if (update.kind == ProgressUpdate::Full)
    m_view.ShowProgress(update.barPosition, update.doneKilobytes, update.totalKilobytes);
  else if (update.kind == ProgressUpdate::Token)
    m_view.ShowActivity(update.barPosition);
}

// The hand-over to the product and the end.

void UpdateEngine::FinishUpdate() {
  if (m_state != UpdateState::Succeeded || m_finishStarted) return;
  m_finishStarted = true;
  m_view.HideForFinish();
  m_finish = std::make_shared<FinishJob>();
  m_finish->settings = m_settings;
  m_finish->tasks = m_downloadTasks;
  m_finish->releaseNumber = m_releaseNumber;
  m_finish->manifestSha256 = m_manifestSha256;
  m_finish->contentId = m_contentId;
  m_finish->probationSeconds = m_probationSeconds;
  m_finish->notify = m_hWnd;
  std::shared_ptr<FinishJob> share = m_finish;
  // Without a thread the flow runs here: it is never skipped.
  if (!fw::StartDetached([share] { share->Run(); })) share->Run();
}

void UpdateEngine::OnFinishDone() {
  if (!m_finish) return;
  m_pendingDeletes.insert(m_pendingDeletes.end(), m_finish->pendingDeletes.begin(), m_finish->pendingDeletes.end());
  m_notInstalled = m_finish->notInstalled;
  if (!m_notInstalled.empty()) m_report.FirstError(RunStage::Install, m_finish->failureCode);
  if (m_finish->probation.process) m_probation = std::make_shared<ProductOnProbation>(std::move(m_finish->probation));
  m_finish.reset();
  m_finishDone = true;
  // A close request held during the finish comes before the timer: the
  // updater then ends without the last cleanup.
  if (m_closeHeld) {
    m_closeHeld = false;
    m_view.Close(CloseReason::Requested);
    return;
  }
  ::SetTimer(m_hWnd, FINISH_TIMER_ID, FINISH_TIMER_PERIOD_MS, nullptr);
}

bool UpdateEngine::MayClose() {
  if (!m_finish) return true;
  m_closeHeld = true;
  return false;
}

void UpdateEngine::OnUpdaterExit() {
  if (MayClose()) m_view.Close(CloseReason::Requested);
}

void UpdateEngine::AskProductToExit() { RequestProductExit(kProductExitEvent); }

void UpdateEngine::OnFinishTimer() {
  ::KillTimer(m_hWnd, FINISH_TIMER_ID);
  for (const std::wstring& path : m_pendingDeletes) DeletePath(path, m_settings.moduleDirectory);
  m_view.Close(CloseReason::Finished);
}
