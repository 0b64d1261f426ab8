// The installation transaction and the install folder's files.
#include "engine/Installer.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <vector>

#include "engine/ArrivalCheck.h"
#include "engine/InstallPaths.h"
#include "engine/ModuleCatalogue.h"
#include "engine/ParallelWork.h"
#include "engine/SupportLog.h"
#include "framework/Files.h"

using fw::PathExists;

bool DeletePath(std::string path, const std::string& installFolder) {
  path = TrimTrailingSeparators(path);
  if (path.empty() || !IsDeletablePath(path, installFolder)) return false;
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

// The names a module is moved aside under: "<module>.del", and while that one
// is held open, "<module>.1.del" to "<module>.99.del".
constexpr int kSetAsideNames = 100;
std::string SetAsideName(const std::string& installed, int n) {
  return n == 0 ? installed + kSetAsideSuffix : installed + "." + std::to_string(n) + kSetAsideSuffix;
}

}  // namespace

std::string FreeSetAsideName(const std::string& installed, const std::string& installFolder) {
  std::string aside = SetAsideName(installed, 0);
  if (PathExists(aside)) DeletePath(aside, installFolder);
  for (int n = 1; PathExists(aside) && n < kSetAsideNames; ++n) aside = SetAsideName(installed, n);
  return aside;
}

bool MoveInto(const std::string& staged, const std::string& installed, bool replace) {
  const DWORD flags = (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH;
  return ::MoveFileExA(staged.c_str(), installed.c_str(), flags) != FALSE;
}

void RestoreSetAsideModules(const std::string& installFolder) {
  for (const ModuleEntry& row : kModuleCatalogue) {
    const std::string installed = installFolder + row.LocalName();
    if (PathExists(installed)) continue;
    // Older copies may still sit under other set-aside names, held open by
    // an earlier run: the one written last is the module's version.
    std::string newest;
    FILETIME newestTime{};
    for (int n = -1; n < kSetAsideNames; ++n) {
      // -1: the copy an installation keeps until the whole release is in.
      const std::string aside =
          n < 0 ? installFolder + kStagingFolder + kPreviousFolder + row.LocalName() : SetAsideName(installed, n);
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

// The transaction.

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

bool InstallModules(const std::string& folder, const std::vector<DownloadTask>& tasks,
                    std::vector<std::string>& pendingDeletes) {
  // What was staged is checked again right before it goes in (all files at
  // once): a file that changed since its download is not the release.
  // Nothing is installed then.
  std::vector<char> matches(tasks.size());
  RunInParallel(static_cast<int>(tasks.size()), [&](int i) {
    matches[i] = FileMatchesTask(StagedPath(folder, tasks[i].localFileName), tasks[i]);
  });
  for (size_t i = 0; i < tasks.size(); ++i) {
    if (matches[i]) continue;
    const std::string staged = StagedPath(folder, tasks[i].localFileName);
    SupportLog(folder, "install %s: the staged file changed since its check: nothing is installed",
               tasks[i].localFileName.c_str());
    ::DeleteFileA(staged.c_str());
    return false;
  }
  const std::string previous = folder + kStagingFolder + kPreviousFolder;
  ::CreateDirectoryA(previous.c_str(), nullptr);
  const DWORD deadline = ::GetTickCount() + kInstallLockWaitMs;
  std::vector<Swap> swaps;
  for (const DownloadTask& task : tasks) {
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
      RollBack(swaps, pendingDeletes, folder);
      DeletePath(previous, folder);
      return false;
    }
    SupportLog(folder, "install %s: in place%s", task.localFileName.c_str(),
               swap.movedAside.empty() ? "" : (", the old one in use was moved aside to " + swap.movedAside).c_str());
    swaps.push_back(swap);
  }
  for (const Swap& swap : swaps)
    if (!swap.movedAside.empty() && !DeletePath(swap.movedAside, folder)) pendingDeletes.push_back(swap.movedAside);
  if (!DeletePath(folder + kStagingFolder, folder)) pendingDeletes.push_back(folder + kStagingFolder);
  return true;
}

