#include "engine/install/FolderCheck.h"

#include <windows.h>

#include <algorithm>

#include "engine/install/InstallPaths.h"
#include "engine/install/SetAside.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/run/SupportLog.h"
#include "engine/run/UpdateMode.h"
#include "engine/transfer/DownloadTask.h"
#include "framework/Files.h"
#include "framework/Paths.h"
#include "framework/Text.h"

bool RunFoldersWritable(const std::wstring& folder, int32_t mode, int32_t run) {
  // Better at once than after the download: every path of the run must fit.
  if (const size_t longest = LongestRunPath(folder, mode); longest > kMaxPathLength) {
    SupportLog(folder, "run %d: the install folder's path is too long: a run needs paths of %u characters, the "
               "system allows %u: nothing is downloaded; install the product in a folder with a shorter path",
               run, static_cast<unsigned>(longest), static_cast<unsigned>(kMaxPathLength));
    return false;
  }
  const std::wstring target = folder + (mode == ModeBackground ? kBackgroundFolder : kStagingFolder);
  const char* step = "make the folder";
  const bool existed = ::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
  bool ok = fw::MakeFoldersOf(target);
  // A run with nothing to fetch leaves no folder behind; the workers make it again.
  if (ok && !existed) ::RemoveDirectoryW(target.c_str());
  // A name of this thread's own: two updaters (or two runs) never share it.
  const std::wstring probe = folder + L"Updater." + std::to_wstring(::GetCurrentProcessId()) + L"." +
                             std::to_wstring(::GetCurrentThreadId()) + L".probe";
  const std::wstring moved = probe + L".moved";
  if (ok) {
    step = "write a file";
    HANDLE file = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ok = file != INVALID_HANDLE_VALUE && ::WriteFile(file, "probe", 5, &written, nullptr) && written == 5;
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  }
  if (ok) {
    step = "rename a file";
    // A scanner may take the new file for a moment: waited out.
    ok = MoveIntoWhenFree(probe, moved);
  }
  if (ok) {
    step = "delete a file";
    ok = fw::DeleteFileWhenFree(moved);
  }
  const DWORD error = ::GetLastError();
  ::DeleteFileW(probe.c_str());
  ::DeleteFileW(moved.c_str());
  if (!ok)
    SupportLog(folder, "run %d: cannot %s in %s (error %lu): nothing is downloaded; install the product where its "
               "users can write, or start it with the rights to write there", run, step,
               fw::Utf8(step[0] == 'm' ? target : folder).c_str(), error);
  return ok;
}

bool RoomForRun(const std::wstring& folder, int32_t mode, const std::vector<DownloadTask>& tasks, int32_t run) {
  int64_t need = kRunRoomMargin;
  for (const DownloadTask& task : tasks) {
    const std::wstring installed = PathIn(folder, task.localFileName);
    int64_t size = task.size;
    for (const FetchWay& way : task.cheaper) size = size >= 0 ? size : way.moduleSize;
    if (size < 0) size = std::max<int64_t>(fw::FileSize(installed), 0);
    const std::wstring target = DownloadTargetPath(folder, task.localFileName, mode);
    const bool there = fw::FileSize(target) == size ||
                       (mode != ModeBackground && fw::FileSize(PathIn(folder + kBackgroundFolder, task.localFileName)) == size);
    if (!there) need += size;
    if (mode != ModeBackground && task.localFileName == kUpdaterFileName) need += std::max<int64_t>(fw::FileSize(installed), 0);
  }
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return true;  // unknown: the transfers tell
  if (static_cast<uint64_t>(need) <= available.QuadPart) return true;
  SupportLog(folder, "run %d: not enough room: the install folder's disk is full for this release (it needs about "
             "%lld bytes, %llu are free): nothing is fetched", run, static_cast<long long>(need),
             static_cast<unsigned long long>(available.QuadPart));
  return false;
}
