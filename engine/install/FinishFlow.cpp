#include "engine/install/FinishFlow.h"

#include <algorithm>

#include "engine/install/InstallPaths.h"
#include "engine/install/Installer.h"
#include "engine/install/Preload.h"
#include "engine/install/ServiceClient.h"
#include "engine/install/SetAside.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/release/ModuleDigest.h"
#include "engine/install/ProductLink.h"
#include "engine/release/ReleaseTrust.h"
#include "engine/run/SupportLog.h"
#include "framework/Paths.h"
#include "framework/Files.h"

namespace {

// An interactive installation leaves no pre-load beside it that is not
// newer than what it installed: a product that installs from the marker
// could go back or mix two releases.
void DiscardStalePreload(const std::wstring& folder, int64_t installed) {
  const std::wstring preload = folder + kBackgroundFolder;
  if (!fw::PathExists(preload)) return;
  if (installed >= 0 && ReadPreloadMarker(folder).release > installed) return;
  const bool deleted = DeletePath(preload, folder);
  SupportLog(folder, "pre-load: %s, it is not newer than the release installed", deleted ? "deleted" : "could not be deleted");
}

}  // namespace

void FinishJob::Run() {
  if (!ProductEnded()) {
    // It still runs on its old release: nothing is started.
    NotInstalled("the product did not exit within " + std::to_string(kProductExitWaitMs / 1000) + " s");
    ::PostMessageW(notify, WM_FINISH_DONE, 0, 0);
    return;
  }
  const bool onProbation = settings.throughService ? InstallByService() : InstallHere();
  // The product was ended for the installation: it starts again either way.
  if (!installed || !onProbation || !StartProbation()) Relaunch();
  ::PostMessageW(notify, WM_FINISH_DONE, 0, 0);
}

bool FinishJob::ProductEnded() {
  const std::wstring product = PathIn(settings.InstallFolder(), kProductExecutable);
  // Bounded: a product that ignores the request keeps its old modules and
  // the staged release stays as a pre-load; the updater still ends. Nothing is installed while
  // any process runs the product's program, and no second product is started.
  // The request is made again while one runs: each instance takes one.
  const DWORD asked = ::GetTickCount();
  bool ended = false;
  while (!ended && ::GetTickCount() - asked < kProductExitWaitMs) {
    RequestProductExit(kProductExitEvent);
    ended = WaitUntilNoProductRuns(settings.productProcess, product,
                                   std::min<DWORD>(kProductAskAgainMs, kProductExitWaitMs - (::GetTickCount() - asked)));
  }
  return ended;
}

bool FinishJob::InstallHere() {
  const std::wstring& folder = settings.moduleDirectory;
  // Which modules the folder had before: a revert takes away those it had not.
  for (const DownloadTask& task : tasks) hadOld.push_back(fw::PathExists(PathIn(folder, task.localFileName)));
  PrepareForInstallation(folder, contentId);
  const bool onProbation = probationSeconds > 0 && !tasks.empty();
  installed = InstallModules(folder, tasks, pendingDeletes, onProbation);
  if (installed) {
    SupportLog(folder, "installation: the whole release is in place");
    if (releaseNumber >= 0) RecordReleaseNumber(folder, ReleaseRecord::Installed, releaseNumber);
    DiscardStalePreload(folder, releaseNumber);
  } else {
    NotInstalled("a staged module did not check out, or a module stayed in use: the old release was put back");
  }
  return onProbation;
}

bool FinishJob::InstallByService() {
  const std::wstring& folder = settings.moduleDirectory;
  const ServiceOutcome outcome = InstallThroughService(settings.InstallFolder(), folder, tasks, manifestSha256);
  installed = outcome == ServiceOutcome::Installed;
  if (!installed) {
    failureCode = kResultServiceOutcome + static_cast<uint32_t>(outcome);
    NotInstalled(std::string("the update service: ") + ServiceOutcomeText(outcome));
    return false;
  }
  SupportLog(folder, "installation: the whole release is in place, installed by the update service");
  if (releaseNumber >= 0) RecordReleaseNumber(folder, ReleaseRecord::Installed, releaseNumber);
  DiscardStalePreload(folder, releaseNumber);
  DeletePath(folder + kStagingFolder, folder);
  // The service kept what the release replaced and wrote the record of it.
  const std::optional<ProbationRecord> record = ReadProbation(settings.InstallFolder());
  return probationSeconds > 0 && record && record->content == contentId;
}

void FinishJob::Relaunch() { fw::ScopedHandle relaunched(Launch()); }

HANDLE FinishJob::Launch() {
  const std::wstring& folder = settings.moduleDirectory;
  HANDLE relaunched = nullptr;
  const BOOL started = LaunchProgram(PathIn(settings.InstallFolder(), kProductExecutable), &relaunched, L"");
  SupportLog(folder, "relaunch of %s: %s", kProductExecutable, started ? "started" : "failed");
  return started ? relaunched : nullptr;
}

bool FinishJob::StartProbation() {
  const std::wstring& folder = settings.moduleDirectory;
  if (!settings.throughService && !RecordProbation(folder, tasks, hadOld, contentId, releaseNumber)) return false;
  HANDLE relaunched = Launch();
  if (!relaunched) {
    // Nothing to watch: the release stays, as it would have before.
    if (!settings.throughService) EndProbation(folder);
    return true;
  }
  probation.process.reset(relaunched);
  // Made as the product starts: whichever side comes first, the signal is kept.
  probation.health.reset(::CreateEventW(nullptr, TRUE, FALSE, HealthEventName(::GetProcessId(relaunched)).c_str()));
  probation.startedAt = ::GetTickCount();
  probation.seconds = probationSeconds;
  probation.content = contentId;
  SupportLog(folder, "probation: release %s for %d s", contentId.c_str(), probationSeconds);
  return true;
}

void FinishJob::NotInstalled(const std::string& reason) {
  notInstalled = reason;
  // Nothing verified is thrown away: the next start takes it without a download.
  const bool kept = KeepStagedAsPreload(settings.moduleDirectory, tasks, manifestSha256, releaseNumber, contentId);
  SupportLog(settings.moduleDirectory, "installation: not installed: %s; %s", reason.c_str(),
             kept ? "the verified release is kept as the pre-load for the next start (the marker is written)"
                  : "what was verified stays for the next run (no complete pre-load)");
}
