#include "engine/FinishFlow.h"

#include "engine/Installer.h"
#include "engine/ModuleCatalogue.h"
#include "engine/ProductLink.h"
#include "engine/ReleaseTrust.h"
#include "engine/SupportLog.h"
#include "framework/Scoped.h"

void FinishJob::Run() {
  const std::string& folder = settings.moduleDirectory;
  RequestProductExit(kProductExitEvent);
  DWORD processId = 0;
  ::GetWindowThreadProcessId(settings.productWindow, &processId);
  bool productEnded = true;
  if (processId) {
    fw::ScopedHandle product(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId));
    // Bounded: a product that ignores the request keeps its old modules and
    // the staged files stay; the updater still ends.
    if (product) productEnded = ::WaitForSingleObject(product.get(), kProductExitWaitMs) != WAIT_TIMEOUT;
  }
  if (productEnded) {
    installed = InstallModules(folder, tasks, pendingDeletes);
    SupportLog(folder, "installation: %s", installed ? "the whole release is in place"
               : "nothing changed (a staged module did not check out, or a module stayed in use: the old release was put back)");
    if (installed && releaseNumber >= 0) RecordInstalledRelease(folder, releaseNumber);
    HANDLE relaunched = nullptr;
    const BOOL started = LaunchProgram(folder + kProductExecutable, &relaunched, "");
    if (started && relaunched) ::CloseHandle(relaunched);
    SupportLog(folder, "relaunch of %s: %s", kProductExecutable, started ? "started" : "failed");
  } else {
    SupportLog(folder, "the product did not exit within %lu s: nothing installed", kProductExitWaitMs / 1000);
  }
  ::PostMessageA(notify, WM_FINISH_DONE, 0, 0);
}
