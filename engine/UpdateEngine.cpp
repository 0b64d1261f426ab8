// Installation of staged modules and the cleanup before the updater ends.
#include "engine/Installer.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <vector>

#include "app/Messages.h"
#include "app/UpdaterApp.h"
#include "engine/InstallPaths.h"
#include "engine/ModuleCatalogue.h"
#include "ui/UpdateDialog.h"

bool DeletePath(std::string path) {
  path = TrimTrailingSeparators(path);
  if (path.empty() || !IsDeletablePath(path, ModuleDirectory)) return false;
  std::vector<char> list(path.size() + 2, '\0');  // one entry, then the list's end
  path.copy(list.data(), path.size());
  SHFILEOPSTRUCTA op{};
  op.hwnd = nullptr;
  op.wFunc = FO_DELETE;
  op.pFrom = list.data();
  op.pTo = nullptr;
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
  return ::SHFileOperationA(&op) == 0;
}

namespace {

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The names a module is moved aside under: "<module>.del", and while that one
// is held open, "<module>.1.del" to "<module>.99.del".
constexpr int kSetAsideNames = 100;
std::string SetAsideName(const std::string& installed, int n) {
  return n == 0 ? installed + kSetAsideSuffix : installed + "." + std::to_string(n) + kSetAsideSuffix;
}

// A name to move a locked module to. A ".del" file left by an earlier update
// is removed first; if it cannot be, another free name is taken, so that the
// move is never a silent no-op.
std::string FreeSetAsideName(const std::string& installed) {
  std::string aside = SetAsideName(installed, 0);
  if (Exists(aside)) DeletePath(aside);
  for (int n = 1; Exists(aside) && n < kSetAsideNames; ++n) aside = SetAsideName(installed, n);
  return aside;
}

// The staged file takes the module's name by a rename within the install
// folder: a stop at any moment leaves the module its old or its new file,
// never one partly written.
bool MoveInto(const std::string& staged, const std::string& installed, DWORD flags) {
  return ::MoveFileExA(staged.c_str(), installed.c_str(), flags | MOVEFILE_WRITE_THROUGH) != FALSE;
}

}  // namespace

void RestoreSetAsideModules() {
  for (const ModuleEntry& row : kModuleCatalogue) {
    const std::string installed = ModuleDirectory + row.LocalName();
    if (Exists(installed)) continue;
    // Older copies may still sit under other set-aside names, held open by
    // an earlier run: the one written last is the module's version.
    std::string newest;
    FILETIME newestTime{};
    for (int n = 0; n < kSetAsideNames; ++n) {
      const std::string aside = SetAsideName(installed, n);
      WIN32_FILE_ATTRIBUTE_DATA data{};
      if (!::GetFileAttributesExA(aside.c_str(), GetFileExInfoStandard, &data)) continue;
      if (newest.empty() || ::CompareFileTime(&data.ftLastWriteTime, &newestTime) > 0) {
        newest = aside;
        newestTime = data.ftLastWriteTime;
      }
    }
    if (!newest.empty()) std::rename(newest.c_str(), installed.c_str());
  }
}

void UpdateDialog::InstallModules() {
  bool allInstalled = true;
  for (const DownloadTask& task : m_downloadTasks) {
    const std::string installed = ModuleDirectory + task.localFileName;
    const std::string staged = StagedPath(ModuleDirectory, task.localFileName);
    bool done = MoveInto(staged, installed, MOVEFILE_REPLACE_EXISTING);
    if (!done && Exists(staged)) {
      // Typically in use: a running program or a loaded library can be moved
      // aside though not replaced; the new file then takes the free name.
      const std::string aside = FreeSetAsideName(installed);
      const bool movedAside = std::rename(installed.c_str(), aside.c_str()) == 0;
      done = MoveInto(staged, installed, 0);
      if (done) {
        // The old copy goes only once the new one is in place.
        if (movedAside && !DeletePath(aside)) m_pendingDeletes.push_back(aside);
      } else if (movedAside) {
        // Never leave a module with no copy: the old one comes back.
        std::rename(aside.c_str(), installed.c_str());
      }
    }
    // A module not installed keeps its staged file for a later attempt.
    if (!done) allInstalled = false;
  }
  if (allInstalled) DeletePath(ModuleDirectory + kStagingFolder);
}

LRESULT UpdateDialog::OnTimer(WPARAM id, LPARAM) {
  if (id == PROGRESS_TIMER_ID) {
    OnProgressTick();
    return 0;
  }
  if (id == FINISH_TIMER_ID) {
    ::KillTimer(m_hWnd, FINISH_TIMER_ID);
    for (const std::string& path : m_pendingDeletes) DeletePath(path);
    CDialog::OnOK();
  }
  return Default();
}
