#include "engine/FinishFlow.h"

#include <algorithm>
#include <cstdlib>

#include "engine/InstallPaths.h"
#include "engine/Installer.h"
#include "engine/ModuleCatalogue.h"
#include "engine/ProductLink.h"
#include "engine/ReleaseTrust.h"
#include "engine/SupportLog.h"
#include "framework/Files.h"

namespace {

// An interactive installation leaves no pre-load beside it that is not
// newer than what it installed: a product that installs from the marker
// could go back or mix two releases.
void DiscardStalePreload(const std::string& folder, int64_t installed) {
  const std::string preload = folder + kBackgroundFolder;
  if (!fw::PathExists(preload)) return;
  char value[32] = {};
  ::GetPrivateProfileStringA("SUpgrade", "Release", "", value, sizeof value, (preload + kPreloadMarker).c_str());
  char* end = nullptr;
  const long long promised = value[0] ? std::strtoll(value, &end, 10) : -1;
  if (installed >= 0 && value[0] && *end == '\0' && promised > installed) return;
  const bool deleted = DeletePath(preload, folder);
  SupportLog(folder, "pre-load: %s, it is not newer than the release installed", deleted ? "deleted" : "could not be deleted");
}

}  // namespace

void FinishJob::Run() {
  const std::string& folder = settings.moduleDirectory;
  const std::string product = folder + kProductExecutable;
  // Bounded: a product that ignores the request keeps its old modules and
  // the staged files stay; the updater still ends. Nothing is installed while
  // any process runs the product's program, and no second product is started.
  // The request is made again while one runs: each instance takes one.
  const DWORD asked = ::GetTickCount();
  bool ended = false;
  while (!ended && ::GetTickCount() - asked < kProductExitWaitMs) {
    RequestProductExit(kProductExitEvent);
    ended = WaitUntilNoProductRuns(settings.productProcess, product,
                                   std::min<DWORD>(kProductAskAgainMs, kProductExitWaitMs - (::GetTickCount() - asked)));
  }
  if (!ended) {
    SupportLog(folder, "the product did not exit within %lu s: nothing installed", kProductExitWaitMs / 1000);
    ::PostMessageA(notify, WM_FINISH_DONE, 0, 0);
    return;
  }
  installed = InstallModules(folder, tasks, pendingDeletes);
  SupportLog(folder, "installation: %s", installed ? "the whole release is in place"
             : "nothing changed (a staged module did not check out, or a module stayed in use: the old release was put back)");
  if (installed) {
    if (releaseNumber >= 0) RecordReleaseNumber(folder, ReleaseRecord::Installed, releaseNumber);
    DiscardStalePreload(folder, releaseNumber);
  }
  HANDLE relaunched = nullptr;
  const BOOL started = LaunchProgram(product, &relaunched, "");
  if (started && relaunched) ::CloseHandle(relaunched);
  SupportLog(folder, "relaunch of %s: %s", kProductExecutable, started ? "started" : "failed");
  ::PostMessageA(notify, WM_FINISH_DONE, 0, 0);
}
