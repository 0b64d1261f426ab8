// The engine's window-thread side: runs and their accounting, progress
// counting, installation, the hand-over to the product and the last cleanup.
#include "engine/UpdateEngine.h"

#include <cstdio>
#include <utility>

#include "app/HandoffBlock.h"
#include "app/Messages.h"
#include "engine/ArrivalCheck.h"
#include "engine/InstallPaths.h"
#include "engine/Installer.h"
#include "engine/ManifestCheck.h"
#include "engine/ModuleDigest.h"
#include "engine/ParallelWork.h"
#include "engine/ReleaseTrust.h"
#include "engine/SupportLog.h"
#include "engine/ProductLink.h"
#include "framework/Scoped.h"
#include "framework/Thread.h"

namespace {

// Moves the token position of the progress bar; counts for the whole process.
int32_t g_aliveCounter = 0;

}  // namespace

// The view may still be under construction here: the engine asks nothing of it yet.
UpdateEngine::UpdateEngine(UpdateView& view, EngineSettings settings) : m_view(view), m_settings(std::move(settings)) {
  ClearRun();
}

// A manifest check still running keeps its own share of what it uses.
UpdateEngine::~UpdateEngine() = default;

// Runs.

void UpdateEngine::ResetRun() {
  m_view.ResetProgress();
  ClearRun();
}

void UpdateEngine::ClearRun() {
  m_downloadTasks.clear();
  m_reportedModules = 0;
  m_succeeded = 0;
  m_failed = 0;
  m_failedUnannounced = 0;
  m_totalBytes = 0;
  m_doneBytes = 0;
  for (int i = 0; i < kModuleCount; ++i) {
    m_moduleBytes[i] = 0;
    m_firstReport[i] = true;
  }
}

void UpdateEngine::StartUpdate(int32_t keepPartial) {
  m_keepPartial = keepPartial;
  ResetRun();
  // The marker promises a complete, verified set: it goes before a run can
  // change the backup folder, and comes back only when this run has made one.
  if (m_settings.mode == ModeBackground) ::DeleteFileA(MarkerPath().c_str());
  m_runCount += 1;
  m_state = UpdateState::Running;
  HWND window = m_view.EngineWindow();
  m_check = std::make_shared<ManifestCheck>(m_settings, m_runCount, m_keepPartial, window);
  auto* share = new std::shared_ptr<ManifestCheck>(m_check);
  if (!AfxBeginThread(&EngineThread, share)) {
    delete share;
    // No thread, no check: the run fails like one whose manifest did not come.
    ::PostMessageA(window, WM_MANIFEST_CHECKED, kCheckFailed, static_cast<LPARAM>(m_runCount));
  }
}

void UpdateEngine::TakeCheckedTasks(std::vector<DownloadTask> tasks) { m_downloadTasks = std::move(tasks); }

void UpdateEngine::OnManifestChecked(unsigned outcome, int32_t run) {
  if (run != m_runCount || m_state != UpdateState::Running) return;
  // No retry makes an install folder writable: the failure shows at once.
  if (outcome == kCheckUnwritable) {
    m_check.reset();
    CompleteRun(RunOutcome::Failed);
    return;
  }
  const bool failed = outcome != kCheckDone;
  if (m_check) {
    TakeCheckedTasks(m_check->Tasks());
    m_releaseNumber = m_check->ReleaseNumber();
  }
  m_check.reset();
  // A run with tasks ends with its workers' results; one without ends here:
  // its manifest did not come (a failed run) or no module differs (a
  // success with nothing to do).
  if (!m_downloadTasks.empty()) return;
  if (failed) m_failed += 1;
  CompleteRun(DecideRun(m_succeeded, m_failed, 0, m_runCount));
}

void UpdateEngine::OnDownloadFinished(unsigned result, uint32_t messageId) {
  if (CountsAsSuccess(result)) {
    m_succeeded += 1;
  } else {
    m_failed += 1;
    const int slot = CatalogueIndexOfMessage(messageId);
    if (slot < 0 || m_firstReport[slot]) m_failedUnannounced += 1;
  }
  CompleteRun(DecideRun(m_succeeded, m_failed, static_cast<int32_t>(m_downloadTasks.size()), m_runCount));
}

void UpdateEngine::CompleteRun(RunOutcome outcome) {
  const bool background = m_settings.mode == ModeBackground;
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
        // Nothing pre-loaded, nothing to announce.
        if (!m_downloadTasks.empty() && BackgroundSetComplete())
          ::WritePrivateProfileStringA("SUpgrade", "Key", "1", MarkerPath().c_str());
        m_view.CloseAsCancel();
      } else {
        m_view.ShowSuccess();
      }
      return;
    case RunOutcome::Retry:
      StartUpdate(1);
      return;
    case RunOutcome::Failed:
      m_state = UpdateState::Failed;
      if (background)
        m_view.CloseAsCancel();
      else
        m_view.ShowFailure();
      return;
  }
}

std::string UpdateEngine::MarkerPath() const {
  return m_settings.moduleDirectory + kBackgroundFolder + kPreloadMarker;
}

bool UpdateEngine::BackgroundSetComplete() const {
  // Each module took its name only once verified; every one the product
  // needs from the folder must be there.
  for (const DownloadTask& task : m_downloadTasks)
    if (!PathExists(DownloadTargetPath(m_settings.moduleDirectory, task.localFileName, m_settings.mode))) return false;
  return true;
}

// Progress.

void UpdateEngine::OnModuleProgress(int slot, const uint32_t* record) {
  if (slot < 0 || slot >= kModuleCount || !record) return;
  m_moduleBytes[slot] = record[2];
  ProgressCounters counters{m_reportedModules, m_totalBytes, m_doneBytes};
  const ProgressUpdate update =
      StepProgress(counters, m_firstReport[slot], m_moduleBytes, kModuleCount, record[1], m_succeeded, m_failed,
                   m_failedUnannounced, static_cast<int32_t>(m_downloadTasks.size()), g_aliveCounter);
  m_reportedModules = counters.reportedModules;
  m_totalBytes = counters.totalBytes;
  m_doneBytes = counters.doneBytes;
  if (update.kind != ProgressUpdate::Nothing) m_view.ShowProgress(update);
}

// Installation.

namespace {

// One module on its way in: where it goes, where it was staged, and the
// copies of its old version that a roll-back or the cleanup needs.
struct Swap {
  std::string installed;
  std::string staged;
  std::string backup;      // a link to (or copy of) the old file; empty for a new module
  std::string movedAside;  // the old file, moved aside because it was in use
};

// True when some program has the file open (a running program, a loaded
// library, another process's handle): it cannot be replaced, at most moved.
bool InUse(const std::string& path) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_SHARING_VIOLATION;
  ::CloseHandle(file);
  return false;
}

// Puts one staged module in place, waiting for a lock until `deadline`.
bool SwapIn(Swap& swap, bool inUse, DWORD deadline, const std::string& folder) {
  for (;;) {
    if (!inUse && MoveInto(swap.staged, swap.installed, true)) return true;
    if (PathExists(swap.installed)) {
      // A running program or a loaded library can be moved aside though not
      // replaced; the new file then takes the free name.
      const std::string aside = FreeSetAsideName(swap.installed, folder);
      if (std::rename(swap.installed.c_str(), aside.c_str()) == 0) {
        if (MoveInto(swap.staged, swap.installed, false)) {
          swap.movedAside = aside;
          return true;
        }
        // Never leave a module with no copy: the old one comes back.
        std::rename(aside.c_str(), swap.installed.c_str());
      }
    }
    if (static_cast<LONG>(::GetTickCount() - deadline) >= 0) return false;
    ::Sleep(kInstallRetryMs);
  }
}

// Puts the old versions back, newest swap first; the new files return to
// the staging folder for a later attempt.
void RollBack(const std::vector<Swap>& swaps, std::vector<std::string>& leftovers, const std::string& folder) {
  for (auto it = swaps.rbegin(); it != swaps.rend(); ++it) {
    MoveInto(it->installed, it->staged, true);
    // The file moved aside is the old version itself; the backup is a link or copy of it.
    if (!(!it->movedAside.empty() && std::rename(it->movedAside.c_str(), it->installed.c_str()) == 0) &&
        !it->backup.empty())
      MoveInto(it->backup, it->installed, true);
    if (!it->movedAside.empty() && PathExists(it->movedAside) && !DeletePath(it->movedAside, folder))
      leftovers.push_back(it->movedAside);
  }
}

}  // namespace

bool UpdateEngine::InstallModules() {
  const std::string& folder = m_settings.moduleDirectory;
  // What was staged is checked again right before it goes in (all files at
  // once): a file that changed since its download is not the release.
  // Nothing is installed then.
  std::vector<char> matches(m_downloadTasks.size());
  RunInParallel(static_cast<int>(m_downloadTasks.size()), [&](int i) {
    matches[i] = FileMatchesTask(StagedPath(folder, m_downloadTasks[i].localFileName), m_downloadTasks[i]);
  });
  for (size_t i = 0; i < m_downloadTasks.size(); ++i) {
    if (matches[i]) continue;
    const std::string staged = StagedPath(folder, m_downloadTasks[i].localFileName);
    SupportLog(folder, "install %s: the staged file changed since its check: nothing is installed",
               m_downloadTasks[i].localFileName.c_str());
    ::DeleteFileA(staged.c_str());
    return false;
  }
  const std::string previous = folder + kStagingFolder + kPreviousFolder;
  ::CreateDirectoryA(previous.c_str(), nullptr);
  const DWORD deadline = ::GetTickCount() + kInstallLockWaitMs;
  std::vector<Swap> swaps;
  for (const DownloadTask& task : m_downloadTasks) {
    Swap swap{folder + task.localFileName, StagedPath(folder, task.localFileName), {}, {}};
    bool ok = true;
    const bool inUse = PathExists(swap.installed) && InUse(swap.installed);
    if (PathExists(swap.installed) && !inUse) {
      // The old version is kept until the whole release is in: a link costs
      // no copy; where links are not possible, a copy. (A module in use is
      // moved aside instead, and that copy is the old version.)
      swap.backup = previous + task.localFileName;
      ::DeleteFileA(swap.backup.c_str());
      ok = ::CreateHardLinkA(swap.backup.c_str(), swap.installed.c_str(), nullptr) ||
           ::CopyFileA(swap.installed.c_str(), swap.backup.c_str(), FALSE);
    }
    if (!ok || !SwapIn(swap, inUse, deadline, folder)) {
      SupportLog(folder, "install %s: %s (error %lu): the %u module(s) already swapped go back", task.localFileName.c_str(),
                 ok ? "still in use after the wait" : "no copy of the old version could be kept", ::GetLastError(),
                 static_cast<unsigned>(swaps.size()));
      // All or nothing: the product is never left on a mix of two releases.
      RollBack(swaps, m_pendingDeletes, folder);
      DeletePath(previous, folder);
      return false;
    }
    SupportLog(folder, "install %s: in place%s", task.localFileName.c_str(),
               swap.movedAside.empty() ? "" : (", the old one in use was moved aside to " + swap.movedAside).c_str());
    swaps.push_back(swap);
  }
  for (const Swap& swap : swaps)
    if (!swap.movedAside.empty() && !DeletePath(swap.movedAside, folder)) m_pendingDeletes.push_back(swap.movedAside);
  if (!DeletePath(folder + kStagingFolder, folder)) m_pendingDeletes.push_back(folder + kStagingFolder);
  return true;
}

// The hand-over to the product.

void UpdateEngine::FinishUpdate() {
  m_view.HideForFinish();
  RequestProductExit(kProductExitEvent);
  DWORD processId = 0;
  ::GetWindowThreadProcessId(m_settings.productWindow, &processId);
  bool productEnded = true;
  if (processId) {
    fw::ScopedHandle product(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId));
    // Bounded: a product that ignores the request keeps its old modules and
    // the staged files stay; the updater still ends.
    if (product) productEnded = ::WaitForSingleObject(product.get(), kProductExitWaitMs) != WAIT_TIMEOUT;
  }
  if (productEnded) {
    const bool installed = InstallModules();
    SupportLog(m_settings.moduleDirectory, "installation: %s", installed ? "the whole release is in place"
               : "nothing changed (a staged module did not check out, or a module stayed in use: the old release was put back)");
    if (installed && m_releaseNumber >= 0) RecordInstalledRelease(m_settings.moduleDirectory, m_releaseNumber);
    HANDLE relaunched = nullptr;
    const BOOL started = LaunchProgram(m_settings.moduleDirectory + kProductExecutable, &relaunched, "");
    if (started && relaunched) ::CloseHandle(relaunched);
    SupportLog(m_settings.moduleDirectory, "relaunch of %s: %s", kProductExecutable, started ? "started" : "failed");
  } else {
    SupportLog(m_settings.moduleDirectory, "the product did not exit within %lu s: nothing installed",
               kProductExitWaitMs / 1000);
  }
  ::SetTimer(m_view.EngineWindow(), FINISH_TIMER_ID, FINISH_TIMER_PERIOD_MS, nullptr);
}

void UpdateEngine::OnFinishTimer() {
  ::KillTimer(m_view.EngineWindow(), FINISH_TIMER_ID);
  for (const std::string& path : m_pendingDeletes) DeletePath(path, m_settings.moduleDirectory);
  m_view.EndAfterFinish();
}
