// The updater's application object and its start-up sequence: the
// composition root. It reads the hand-off block, builds the engine's
// settings, the engine and the window (UpdateRun), and runs them.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/HandoffBlock.h"
#include "engine/install/FolderLock.h"
#include "engine/install/Revert.h"
#include "engine/release/Rollout.h"
#include "engine/run/OutcomeReport.h"
#include "framework/Scoped.h"
#include "framework/Thread.h"
#include "framework/WinApp.h"

class UpdaterApp : public CWinApp {
 public:
  UpdaterApp() = default;

  // The whole start-up; always false, so the process ends when the update
  // window has closed (or at once without a hand-off block).
  BOOL InitInstance() override;
  int ExitInstance() override;

  // Takes the work order from the product's shared memory; false without one.
  bool ReadHandoff();

  // The public release keys the updater carries, read from its resources once.
  const std::vector<std::string>& ReleaseKeys();
  // The release notes, once their fetch (started by InitInstance) is over.
  const std::string& ReleaseNotes();

  int32_t m_nUpdateMode = 0;
  HWND m_hProductWnd = nullptr;
  char m_szServerBase[kServerBaseSize] = {};
  std::string m_strReleaseNotes;
  Gdiplus::GdiplusStartupInput m_gdiplusStartupInput;
  ULONG_PTR m_gdiplusToken = 0;

 private:
  // Everything after the hand-off block and the policy, up to the window's
  // end: what the run came to. `handedOver` is the block's server base.
  OutcomeReport Update(const UpdatePolicy& policy, const std::vector<std::string>& policyNotes,
                       const std::string& handedOver);

  // Where the run writes: the install folder, or for a per-machine install
  // (a folder registered for the update service) the user's work folder.
  // False when that cannot be made.
  bool ChooseWorkFolder();
  // An interrupted installation completed and a probation left over
  // settled; false (with the report's error) when the folder is not whole.
  bool SettleInstallFolder(OutcomeReport& report);

  std::wstring m_workFolder;
  bool m_throughService = false;
  fw::Thread m_notesFetch;
  std::unique_ptr<FolderLock> m_folderLock;
  std::shared_ptr<ProductOnProbation> m_probation;  // the product relaunched on a new release
  int64_t m_releaseBefore = -1;  // the signed release trusted at the start (keyed updaters)
  // The product's process, found from its window as the block is read.
  fw::ScopedHandle m_productProcess;
  std::once_flag m_releaseKeysLoaded;
  std::vector<std::string> m_releaseKeys;
  bool m_gdiplusStarted = false;
  bool m_socketsStarted = false;
};

// The updater's own folder with its trailing backslash; every local file
// name is this followed directly by a relative name.
extern std::wstring ModuleDirectory;

std::wstring GetModuleDirectory();
