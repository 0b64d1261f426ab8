// The engine's window-thread side: runs and their accounting, progress
// counting, installation, the hand-over to the product and the last cleanup.
#include "engine/UpdateEngine.h"

#include <cstdio>
#include <utility>

#include "app/HandoffBlock.h"
#include "app/Messages.h"
#include "engine/InstallPaths.h"
#include "engine/Installer.h"
#include "engine/ManifestCheck.h"
#include "engine/ProductLink.h"
#include "framework/Scoped.h"
#include "framework/Thread.h"

namespace {

// Moves the token position of the progress bar; counts for the whole process.
int32_t g_aliveCounter = 0;

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

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
  m_runCount += 1;
  m_state = UpdateState::Running;
  HWND window = m_view.EngineWindow();
  m_check = std::make_shared<ManifestCheck>(m_settings, m_runCount, m_keepPartial, window);
  auto* share = new std::shared_ptr<ManifestCheck>(m_check);
  if (!AfxBeginThread(&EngineThread, share)) {
    delete share;
    // No thread, no check: the run fails like one whose manifest did not come.
    ::PostMessageA(window, WM_MANIFEST_CHECKED, 1, static_cast<LPARAM>(m_runCount));
  }
}

void UpdateEngine::TakeCheckedTasks(std::vector<DownloadTask> tasks) { m_downloadTasks = std::move(tasks); }

void UpdateEngine::OnManifestChecked(bool failed, int32_t run) {
  if (run != m_runCount || m_state != UpdateState::Running) return;
  if (m_check) TakeCheckedTasks(m_check->Tasks());
  m_check.reset();
  // A run with tasks ends with its workers' results; one without ends here:
  // its manifest did not come (a failed run) or no module differs (a
  // success with nothing to do).
  if (!m_downloadTasks.empty()) return;
  if (failed) m_failed += 1;
  CompleteRun(DecideRun(m_succeeded, m_failed, 0, m_runCount));
}

void UpdateEngine::OnDownloadFinished(unsigned result) {
  if (CountsAsSuccess(result))
    m_succeeded += 1;
  else
    m_failed += 1;
  CompleteRun(DecideRun(m_succeeded, m_failed, static_cast<int32_t>(m_downloadTasks.size()), m_runCount));
}

void UpdateEngine::CompleteRun(RunOutcome outcome) {
  const bool background = m_settings.mode == ModeBackground;
  switch (outcome) {
    case RunOutcome::Pending:
      return;
    case RunOutcome::Succeeded:
      m_state = UpdateState::Succeeded;
      if (background) {
        // Nothing pre-loaded, nothing to announce.
        if (!m_downloadTasks.empty()) {
          const std::string marker = m_settings.moduleDirectory + kBackgroundFolder + kPreloadMarker;
          ::WritePrivateProfileStringA("SUpgrade", "Key", "1", marker.c_str());
        }
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

// Progress.

void UpdateEngine::OnModuleProgress(int slot, const uint32_t* record) {
  if (slot < 0 || slot >= kModuleCount || !record) return;
  m_moduleBytes[slot] = record[2];
  ProgressCounters counters{m_reportedModules, m_totalBytes, m_doneBytes};
  const ProgressUpdate update =
      StepProgress(counters, m_firstReport[slot], m_moduleBytes, kModuleCount, record[1], m_succeeded, m_failed,
                   static_cast<int32_t>(m_downloadTasks.size()), g_aliveCounter);
  m_reportedModules = counters.reportedModules;
  m_totalBytes = counters.totalBytes;
  m_doneBytes = counters.doneBytes;
  if (update.kind != ProgressUpdate::Nothing) m_view.ShowProgress(update);
}

// Installation.

void UpdateEngine::InstallModules() {
  const std::string& folder = m_settings.moduleDirectory;
  bool allInstalled = true;
  for (const DownloadTask& task : m_downloadTasks) {
    const std::string installed = folder + task.localFileName;
    const std::string staged = StagedPath(folder, task.localFileName);
    bool done = MoveInto(staged, installed, true);
    if (!done && Exists(staged)) {
      // Typically in use: a running program or a loaded library can be moved
      // aside though not replaced; the new file then takes the free name.
      const std::string aside = FreeSetAsideName(installed, folder);
      const bool movedAside = std::rename(installed.c_str(), aside.c_str()) == 0;
      done = MoveInto(staged, installed, false);
      if (done) {
        // The old copy goes only once the new one is in place.
        if (movedAside && !DeletePath(aside, folder)) m_pendingDeletes.push_back(aside);
      } else if (movedAside) {
        // Never leave a module with no copy: the old one comes back.
        std::rename(aside.c_str(), installed.c_str());
      }
    }
    // A module not installed keeps its staged file for a later attempt.
    if (!done) allInstalled = false;
  }
  if (allInstalled) DeletePath(folder + kStagingFolder, folder);
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
    InstallModules();
    HANDLE relaunched = nullptr;
    if (LaunchProgram(m_settings.moduleDirectory + kProductExecutable, &relaunched, "") && relaunched)
      ::CloseHandle(relaunched);
  }
  ::SetTimer(m_view.EngineWindow(), FINISH_TIMER_ID, FINISH_TIMER_PERIOD_MS, nullptr);
}

void UpdateEngine::OnFinishTimer() {
  ::KillTimer(m_view.EngineWindow(), FINISH_TIMER_ID);
  for (const std::string& path : m_pendingDeletes) DeletePath(path, m_settings.moduleDirectory);
  m_view.EndAfterFinish();
}
