#include "engine/install/Revert.h"

#include <memory>

#include "engine/install/FolderLock.h"
#include "engine/install/InstallPaths.h"
#include "engine/install/Installer.h"
#include "engine/install/Preload.h"
#include "engine/install/ProductLink.h"
#include "engine/install/ServiceClient.h"
#include "engine/install/SetAside.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/release/ModuleDigest.h"
#include "engine/run/SupportLog.h"
#include "framework/Files.h"
#include "framework/Paths.h"

namespace {

constexpr size_t kRecordMaxBytes = 64 * 1024;

std::wstring PreviousFolder(const std::wstring& folder) { return folder + kPreviousReleaseFolder; }

// Replaced whole, as every record of the folder.
bool WriteRecord(const std::wstring& path, const std::string& text) {
  const bool written = fw::WriteWholeFile(path, text);
  CountInstallStep();
  return written;
}

void RemoveRecord(const std::wstring& path) {
  fw::DeleteFileWhenFree(path);
  CountInstallStep();
}

// The previous version of each module back in the staging folder, as a
// second name (a copy where links are not possible): the kept file stays for
// a revert that a stop interrupts.
bool StagePrevious(const std::wstring& folder, const ProbationRecord& record, std::vector<DownloadTask>& tasks) {
  ::CreateDirectoryW((folder + kStagingFolder).c_str(), nullptr);
  for (const auto& [name, digest] : record.previous) {
    if (digest.empty()) continue;
    const std::wstring kept = PathIn(PreviousFolder(folder), name), staged = StagedPath(folder, name);
    ::DeleteFileW(staged.c_str());
    if (!::CreateHardLinkW(staged.c_str(), kept.c_str(), nullptr) && !::CopyFileW(kept.c_str(), staged.c_str(), FALSE)) {
      SupportLog(folder, "revert %s: the kept previous version cannot be staged (error %lu)", name.c_str(), ::GetLastError());
      return false;
    }
    CountInstallStep();
    tasks.push_back(DownloadTask{0, name, {}, digest, {}, -1, {}, {}, {}});
  }
  return true;
}

// Every module the release replaced has its previous version again.
bool PreviousInPlace(const std::wstring& folder, const ProbationRecord& record) {
  for (const auto& [name, digest] : record.previous)
    if (!digest.empty() && ModuleDigest(PathIn(folder, name), kModuleDigestKey) != digest) return false;
  return true;
}

// The release failed here: its pre-load goes, and no run takes it again.
void Remember(const std::wstring& folder, const ProbationRecord& record) {
  RevertedRelease reverted{record.content, record.release, record.exitCode, record.seconds};
  WriteRecord(folder + kRevertedReleaseName, reverted.Text());
  if (ReadPreloadMarker(folder).content == record.content && DeletePath(folder + kBackgroundFolder, folder))
    SupportLog(folder, "revert: the pre-load of the failed release is deleted");
}

}  // namespace

std::wstring HealthEventName(DWORD processId) { return L"Local\\Velnoria.Healthy." + std::to_wstring(processId); }

std::string ProbationWatchName(const std::wstring& folder) {
  const std::string lock = FolderLockName(folder);
  return "Global\\Velnoria.Probation." + lock.substr(lock.size() - 16);
}

bool ProbationWatched(const std::wstring& folder) {
  fw::ScopedHandle watch(::OpenMutexA(SYNCHRONIZE, FALSE, ProbationWatchName(folder).c_str()));
  return static_cast<bool>(watch);
}

std::optional<ProbationRecord> ReadProbation(const std::wstring& folder) {
  const std::optional<std::string> bytes = fw::ReadWholeFile(folder + kProbationRecordName, kRecordMaxBytes);
  return bytes ? ProbationRecord::Parse(*bytes) : std::nullopt;
}

bool WriteProbation(const std::wstring& folder, const ProbationRecord& record) {
  return WriteRecord(folder + kProbationRecordName, record.Text());
}

RevertedRelease ReadRevertedRelease(const std::wstring& folder) {
  return RevertedRelease::Parse(fw::ReadWholeFile(folder + kRevertedReleaseName, kRecordMaxBytes).value_or(std::string()));
}

bool RevertedHere(const std::wstring& folder, const std::string& content) {
  return !content.empty() && ReadRevertedRelease(folder).content == content;
}

void DropRevertedPreload(const std::wstring& folder, const std::string& content) {
  if (!RevertedHere(folder, content) || ReadPreloadMarker(folder).content != content) return;
  const bool deleted = DeletePath(folder + kBackgroundFolder, folder);
  SupportLog(folder, "pre-load of release %s: %s: the product failed on it here", content.c_str(),
             deleted ? "deleted" : "could not be deleted");
}

void EndProbation(const std::wstring& folder) {
  if (fw::PathExists(PreviousFolder(folder))) {
    DeletePath(PreviousFolder(folder), folder);
    CountInstallStep();
  }
  if (fw::PathExists(folder + kProbationRecordName)) RemoveRecord(folder + kProbationRecordName);
}

bool RecordProbation(const std::wstring& folder, const std::vector<DownloadTask>& tasks, const std::vector<bool>& hadOld,
                     const std::string& content, int64_t release) {
  // The kept versions' fingerprints: a revert installs only what they name.
  ProbationRecord record;
  record.content = content;
  record.release = release;
  for (size_t i = 0; i < tasks.size(); ++i) {
    const std::string& name = tasks[i].localFileName;
    const std::string digest =
        hadOld[i] ? ModuleDigest(PathIn(PreviousFolder(folder), name), kModuleDigestKey) : std::string();
    if (hadOld[i] && digest.empty()) {
      SupportLog(folder, "probation: the previous %s was not kept: no way back", name.c_str());
      EndProbation(folder);
      return false;
    }
    record.previous.emplace_back(name, digest);
  }
  if (WriteProbation(folder, record)) return true;
  EndProbation(folder);
  return false;
}

void PrepareForInstallation(const std::wstring& folder, const std::string& content) {
  if (fw::PathExists(folder + kProbationRecordName) || fw::PathExists(PreviousFolder(folder))) {
    SupportLog(folder, "probation: the release on probation is superseded by the one being installed");
    EndProbation(folder);
  }
  const RevertedRelease reverted = ReadRevertedRelease(folder);
  if (!reverted.content.empty() && reverted.content != content) RemoveRecord(folder + kRevertedReleaseName);
}

void SettleProbation(const std::wstring& folder) {
  const bool recorded = fw::PathExists(folder + kProbationRecordName);
  if (!recorded && !fw::PathExists(PreviousFolder(folder))) return;
  if (ProbationWatched(folder)) return;
  const std::optional<ProbationRecord> record = ReadProbation(folder);
  if (record && record->failed) {
    SupportLog(folder, "probation: the revert of release %s was interrupted: it is taken up again", record->content.c_str());
    RevertRelease(folder, *record);
    return;
  }
  // Nobody watches any more and nothing failed: the release has run long enough.
  SupportLog(folder, "probation: %s", record ? "over without a failure (its watcher ended): the previous release goes"
                                             : "previous files without a whole record go");
  EndProbation(folder);
}

bool RevertRelease(const std::wstring& folder, const ProbationRecord& record) {
  if (!record.failed) return false;
  Remember(folder, record);
  std::vector<std::wstring> pending;
  // A revert that a stop interrupted after its installation has only its cleanup left.
  if (!PreviousInPlace(folder, record)) {
    if (!fw::PathExists(PreviousFolder(folder))) {
      SupportLog(folder, "revert: the previous release's files are gone: it cannot be put back");
      EndProbation(folder);
      return false;
    }
    std::vector<DownloadTask> tasks;
    if (!StagePrevious(folder, record, tasks) || !InstallModules(folder, tasks, pending)) {
      SupportLog(folder, "revert: the previous release could not be put back: the next start tries again");
      return false;
    }
  }
  // Modules the failed release brought to the folder had no previous version.
  for (const auto& [name, digest] : record.previous)
    if (digest.empty() && ::DeleteFileW(PathIn(folder, name).c_str())) CountInstallStep();
  EndProbation(folder);
  for (const std::wstring& path : pending) DeletePath(path, folder);
  SupportLog(folder, "revert: the previous release is back in place (%d step(s))", InstallSteps());
  return true;
}

ProbationEvents WatchProduct(const ProductOnProbation& product) {
  ProbationEvents events;
  fw::ScopedHandle updaterExit(::OpenEventA(SYNCHRONIZE, FALSE, kUpdaterExitEvent));
  HANDLE waits[3];
  DWORD count = 0;
  waits[count++] = product.process.get();
  if (product.health) waits[count++] = product.health.get();
  if (updaterExit) waits[count++] = updaterExit.get();
  const DWORD total = static_cast<DWORD>(product.seconds) * 1000;
  const DWORD spent = ::GetTickCount() - product.startedAt;
  const DWORD result = ::WaitForMultipleObjects(count, waits, FALSE, spent < total ? total - spent : 0);
  if (result == WAIT_TIMEOUT) {
    events.timeUp = true;
  } else if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
    const HANDLE signalled = waits[result - WAIT_OBJECT_0];
    if (signalled == product.process.get()) {
      events.processEnded = true;
      DWORD code = 0;
      ::GetExitCodeProcess(product.process.get(), &code);
      events.exitCode = code;
    } else if (signalled == product.health.get()) {
      events.healthSignalled = true;
    } else {
      events.updaterExitSet = true;
    }
  }
  return events;
}

namespace {

// The folder lock, waited for within a bound: another updater the product
// started meanwhile ends soon.
std::unique_ptr<FolderLock> WaitForFolderLock(const std::wstring& folder) {
  const DWORD asked = ::GetTickCount();
  for (;;) {
    auto lock = std::make_unique<FolderLock>(folder);
    if (lock->Held()) return lock;
    if (::GetTickCount() - asked >= kProbationLockWaitMs) return nullptr;
    ::Sleep(200);
  }
}

const char* HealthyBecause(const ProbationEvents& events) {
  if (events.healthSignalled) return "the product signalled its health";
  if (events.updaterExitSet) return "the product set the updater-exit event";
  if (events.processEnded) return "the product was closed (exit code 0)";
  return "the product ran through the probation";
}

}  // namespace

bool SeeProbationThrough(const std::wstring& workFolder, const std::wstring& installFolder, bool throughService,
                         const ProductOnProbation& product) {
  const std::string& content = product.content;
  const fw::ScopedHandle watch(::CreateMutexA(nullptr, TRUE, ProbationWatchName(installFolder).c_str()));
  const ProbationEvents events = WatchProduct(product);
  const uint32_t seconds = (::GetTickCount() - product.startedAt) / 1000;
  const bool failed = ProductFailed(events);
  const std::unique_ptr<FolderLock> lock = WaitForFolderLock(workFolder);
  std::optional<ProbationRecord> record = lock ? ReadProbation(installFolder) : std::nullopt;
  if (!record || record->content != content) {
    SupportLog(workFolder, "probation: release %s %s, after %u s; %s", content.c_str(),
               failed ? "failed" : "is healthy", seconds,
               lock ? "another installation superseded it" : "the folder stayed busy: the next start settles it");
    return false;
  }
  if (!failed) {
    SupportLog(workFolder, "probation: release %s is healthy (%s, after %u s): the previous release goes", content.c_str(),
               HealthyBecause(events), seconds);
    // In a registered folder the service lets it go at its next request.
    if (!throughService) EndProbation(installFolder);
    return false;
  }
  SupportLog(workFolder, "probation: release %s failed: the product ended with exit code 0x%08lX %u s after its start: "
             "the previous release goes back", content.c_str(), static_cast<unsigned long>(events.exitCode), seconds);
  record->failed = true;
  record->exitCode = events.exitCode;
  record->seconds = seconds;
  const std::wstring program = PathIn(installFolder, kProductExecutable);
  WaitUntilNoProductRuns(nullptr, program, kProductExitWaitMs);
  if (throughService) {
    const RevertedRelease note{record->content, record->release, record->exitCode, record->seconds};
    if (RevertThroughService(installFolder, workFolder, note.Text()) != ServiceOutcome::Installed) return false;
    // Its pre-load goes here too, and no run takes it again.
    DropRevertedPreload(workFolder, content);
  } else {
    WriteProbation(installFolder, *record);
    if (!RevertRelease(installFolder, *record)) return false;
  }
  HANDLE relaunched = nullptr;
  const BOOL started = LaunchProgram(program, &relaunched, L"");
  if (started && relaunched) ::CloseHandle(relaunched);
  SupportLog(workFolder, "revert: release %s failed here and is not installed again; relaunch of %s on the previous "
             "release: %s", content.c_str(), kProductExecutable, started ? "started" : "failed");
  return true;
}
