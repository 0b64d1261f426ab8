// Download runs: the manifest check on an engine thread, one worker thread
// per out-of-date module, and the completion accounting on the window's thread.
#include <windows.h>
#include <imagehlp.h>

#include "app/Messages.h"
#include "app/UpdaterApp.h"
#include "engine/InstallPaths.h"
#include "engine/Installer.h"
#include "engine/ModuleDigest.h"
#include "fetchkit/HttpDownload.h"
#include "framework/Thread.h"
#include "ui/UpdateDialog.h"

namespace {

// The engine thread of a run: the manifest check, which starts the workers.
UINT EngineThread(void* param) {
  static_cast<UpdateDialog*>(param)->CheckForUpdates();
  return 1;
}

// Fingerprint checks are CPU-bound: seventeen at once starve the window's
// thread, so only so many run together as leave a processor free.
class VerifyGate {
 public:
  VerifyGate() {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    // One processor is left to the window and the transfers.
    const LONG n = info.dwNumberOfProcessors > 2 ? static_cast<LONG>(info.dwNumberOfProcessors) - 1 : 1;
    semaphore_.reset(::CreateSemaphoreA(nullptr, n, n, nullptr));
  }
  template <typename F>
  auto Run(F&& f) {
    // Every holder ends after one file's digest, so the wait is bounded.
    const bool gated = semaphore_ && ::WaitForSingleObject(semaphore_.get(), INFINITE) == WAIT_OBJECT_0;
    struct Release {
      HANDLE semaphore;
      ~Release() {
        if (semaphore) ::ReleaseSemaphore(semaphore, 1, nullptr);
      }
    } release{gated ? semaphore_.get() : nullptr};
    return f();
  }

 private:
  fw::ScopedHandle semaphore_;
};

VerifyGate& Gate() {
  static VerifyGate gate;
  return gate;
}

// One module transfer. Everything the worker needs is copied out of its task
// first: once the result is posted, the window may clear the task list.
UINT DownloadWorker(void* param) {
  const DownloadTask task = *static_cast<const DownloadTask*>(param);
  const std::string target = DownloadTargetPath(ModuleDirectory, task.localFileName, App().m_nUpdateMode);
  const int32_t keepPartial = g_pUpdateDialog->KeepPartial();
  HWND window = g_hUpdateWnd;

  ::MakeSureDirectoryPathExists(target.c_str());
  CHttpDownload* download = CHttpDownload::NewInstance();
  if (!download) {
    ::PostMessageA(window, WM_DOWNLOAD_FINISHED, kResultNoDownloadObject, 0);
    return kResultNoDownloadObject;
  }
  download->SetNotifyWnd(window, task.messageId, -1, -1, -1, 1);
  if (keepPartial == 0) ::DeleteFileA(target.c_str());
  unsigned result = download->Download(task.url.c_str(), target.c_str(), 0);
  delete download;
  // A transfer that does not carry the manifest's fingerprint is not the
  // module: it is never installed, and the retry fetches it whole.
  if (CountsAsSuccess(result) && !task.expectedDigest.empty() &&
      Gate().Run([&] { return ModuleDigest(target, kModuleDigestKey); }) != task.expectedDigest) {
    ::DeleteFileA(target.c_str());
    result = kResultFingerprintMismatch;
  }
  ::PostMessageA(window, WM_DOWNLOAD_FINISHED, result, 0);
  return result;
}

}  // namespace

void UpdateDialog::ResetRun() {
  DropKeptProgress();
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

void UpdateDialog::StartUpdate(int32_t keepPartial) {
  m_keepPartial = keepPartial;
  ResetRun();
  m_runCount += 1;
  m_state = UpdateState::Running;
  if (!AfxBeginThread(&EngineThread, this)) {
    // No thread, no check: the run fails like one whose manifest did not come.
    PostMessage(WM_MANIFEST_CHECKED, 1, static_cast<LPARAM>(m_runCount));
  }
}

void UpdateDialog::CheckForUpdates() {
  const LPARAM run = m_runCount;
  RestoreSetAsideModules();
  CHttpDownload* download = CHttpDownload::NewInstance();
  if (!download) {
    ::PostMessageA(g_hUpdateWnd, WM_MANIFEST_CHECKED, 1, run);
    return;
  }
  const std::string manifestPath = ModuleDirectory + kManifestLocalName;
  const std::string url = std::string(App().m_szServerBase) + kManifestFileName;
  const unsigned code = download->Download(url.c_str(), manifestPath.c_str(), FK_FETCH_WHOLE);
  delete download;
  if (code != 0) {
    ::PostMessageA(g_hUpdateWnd, WM_MANIFEST_CHECKED, 1, run);
    return;
  }
  for (const ModuleEntry& row : kModuleCatalogue) CheckModule(row.baseName, manifestPath, row.messageId, row.extension);
  ::DeleteFileA(manifestPath.c_str());
  // The list is complete before the first worker exists and stays unchanged
  // until every worker has reported.
  for (DownloadTask& task : m_downloadTasks)
    if (!AfxBeginThread(&DownloadWorker, &task)) ::PostMessageA(g_hUpdateWnd, WM_DOWNLOAD_FINISHED, kResultNoDownloadObject, 0);
  ::PostMessageA(g_hUpdateWnd, WM_MANIFEST_CHECKED, 0, run);
}

void UpdateDialog::CheckModule(const char* baseName, const std::string& manifestPath, uint32_t messageId,
                               const char* extension) {
  const std::string remoteName = std::string(baseName) + extension;
  const std::string localName = strcmp(baseName, kLauncherBaseName) == 0 ? kProductExecutable : remoteName;
  char expected[260] = {};
  ::GetPrivateProfileStringA(kManifestSection, baseName, "", expected, sizeof expected, manifestPath.c_str());
  const std::string actual = ModuleDigest(ModuleDirectory + localName, kModuleDigestKey);
  if (actual != expected)
    m_downloadTasks.push_back({messageId, localName, std::string(App().m_szServerBase) + remoteName, expected});
}

LRESULT UpdateDialog::OnDownloadFinished(WPARAM result, LPARAM) {
  if (CountsAsSuccess(static_cast<unsigned>(result)))
    m_succeeded += 1;
  else
    m_failed += 1;
  const RunOutcome outcome =
      DecideRun(m_succeeded, m_failed, static_cast<int32_t>(m_downloadTasks.size()), m_runCount);
  if (outcome != RunOutcome::Pending) CompleteRun(outcome);
  return 1;
}

LRESULT UpdateDialog::OnManifestChecked(WPARAM failed, LPARAM run) {
  // Only a run that has no task ends here: one whose manifest did not come
  // (a failed run) or in which no module differs (a success with nothing to do).
  if (run != m_runCount || m_state != UpdateState::Running || !m_downloadTasks.empty()) return 1;
  if (failed) m_failed += 1;
  CompleteRun(DecideRun(m_succeeded, m_failed, 0, m_runCount));
  return 1;
}

void UpdateDialog::CompleteRun(RunOutcome outcome) {
  const bool background = App().m_nUpdateMode == ModeBackground;
  switch (outcome) {
    case RunOutcome::Pending:
      return;
    case RunOutcome::Succeeded:
      m_state = UpdateState::Succeeded;
      if (background) {
        // Nothing pre-loaded, nothing to announce.
        if (!m_downloadTasks.empty()) {
          const std::string marker = ModuleDirectory + kBackgroundFolder + kPreloadMarker;
          ::WritePrivateProfileStringA("SUpgrade", "Key", "1", marker.c_str());
        }
        PostMessage(WM_CLOSE);
      } else {
        ShowSuccess();
      }
      return;
    case RunOutcome::Retry:
      StartUpdate(1);
      return;
    case RunOutcome::Failed:
      m_state = UpdateState::Failed;
      if (background)
        PostMessage(WM_CLOSE);
      else
        ShowFailure();
      return;
  }
}
