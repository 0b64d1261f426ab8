#include "engine/install/Preload.h"

#include <windows.h>

#include "engine/install/InstallPaths.h"
#include "engine/install/SetAside.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/run/SupportLog.h"
#include "engine/run/UpdateMode.h"
#include "engine/transfer/ArrivalCheck.h"
#include "fetchkit/HttpDownload.h"
#include "framework/Files.h"
#include "framework/ParallelWork.h"
#include "framework/Paths.h"

bool PreloadHoldsRelease(const std::wstring& folder, const std::vector<DownloadTask>& tasks) {
  for (const std::string& name : ReleaseFileNames()) {
    bool needed = false;
    for (const DownloadTask& task : tasks) needed = needed || task.localFileName == name;
    const std::wstring copy = PathIn(folder + kBackgroundFolder, name);
    if (!needed && fw::PathExists(copy)) {
      ::DeleteFileW(copy.c_str());
      SupportLog(folder, "pre-load: %s is no longer needed for this release: deleted", name.c_str());
    }
  }
  std::vector<char> verified(tasks.size());
  RunInParallel(static_cast<int>(tasks.size()), [&](int i) {
    verified[i] = FileMatchesTask(PathIn(folder + kBackgroundFolder, tasks[i].localFileName), tasks[i]);
  });
  for (size_t i = 0; i < tasks.size(); ++i) {
    if (verified[i]) continue;
    SupportLog(folder, "pre-load: %s is missing or not the release's: no marker", tasks[i].localFileName.c_str());
    return false;
  }
  return true;
}

namespace {

std::wstring MarkerPath(const std::wstring& folder) { return folder + kBackgroundFolder + kPreloadMarker; }
// A marker is a few short lines.
constexpr int64_t kMarkerMaxBytes = 64 * 1024;

}  // namespace

PreloadMarker ReadPreloadMarker(const std::wstring& folder) {
  return PreloadMarker::Parse(fw::ReadWholeFile(MarkerPath(folder), kMarkerMaxBytes).value_or(std::string()));
}

bool WritePreloadMarker(const std::wstring& folder, const std::string& manifestSha256, int64_t release,
                        const std::string& content) {
  return fw::WriteWholeFile(MarkerPath(folder), PreloadMarker{true, manifestSha256, release, content}.Text());
}

void DropPreloadMarker(const std::wstring& folder) { ::DeleteFileW(MarkerPath(folder).c_str()); }

bool PreloadIsOf(const std::wstring& folder, const std::string& content, const std::string& manifestSha256) {
  const PreloadMarker marker = ReadPreloadMarker(folder);
  if (!marker.ready) return false;
  return marker.content.empty() ? !manifestSha256.empty() && marker.manifestSha256 == manifestSha256
                                : marker.content == content;
}

bool KeepStagedAsPreload(const std::wstring& folder, const std::vector<DownloadTask>& tasks,
                         const std::string& manifestSha256, int64_t release, const std::string& content) {
  const std::wstring backup = folder + kBackgroundFolder;
  // The marker goes first: it comes back only beside a whole set.
  DropPreloadMarker(folder);
  if (!fw::MakeFoldersOf(backup)) return false;
  for (const DownloadTask& task : tasks) {
    const std::wstring staged = StagedPath(folder, task.localFileName);
    const std::wstring target = PathIn(backup, task.localFileName);
    if (FileMatchesTask(staged, task))
      MoveIntoWhenFree(staged, target);
  }
  return PreloadHoldsRelease(folder, tasks) && WritePreloadMarker(folder, manifestSha256, release, content);
}

void FreeRunFiles(const std::wstring& folder, int32_t mode) {
  if (mode != ModeBackground) {
    DeletePath(folder + kStagingFolder, folder);
    return;
  }
  for (const std::string& name : ReleaseFileNames()) {
    const std::wstring arrival = ArrivalPath(folder, name, mode);
    for (const std::wstring& path : {arrival, arrival + FK_VALIDATOR_SUFFIX_W, DownloadTargetPath(folder, name, mode)})
      ::DeleteFileW(path.c_str());
  }
}
