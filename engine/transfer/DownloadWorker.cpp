#include "engine/transfer/DownloadWorker.h"

#include <algorithm>
#include <optional>
#include <string>

#include "engine/crypto/Sha256.h"
#include "engine/install/InstallPaths.h"
#include "engine/run/EngineMessages.h"
#include "engine/install/SetAside.h"
#include "engine/run/RunAccounting.h"
#include "engine/run/SupportLog.h"
#include "engine/transfer/ArrivalCheck.h"
#include "engine/transfer/DeltaPatch.h"
#include "engine/transfer/DownloadLibrary.h"
#include "engine/transfer/SmallFetch.h"
#include "fetchkit/HttpDownload.h"
#include "framework/Files.h"
#include "framework/Paths.h"
#include "framework/Scoped.h"
#include "framework/Text.h"
#include "framework/Thread.h"

namespace {

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
    const fw::ScopedSemaphoreSlot slot(semaphore_.get(), INFINITE);
    return f();
  }

 private:
  fw::ScopedHandle semaphore_;
};

VerifyGate& Gate() {
  static VerifyGate gate;
  return gate;
}

// Everything one worker needs, its own copy.
struct WorkerJob {
  DownloadTask task;
  std::wstring arrival;  // where the bytes are written
  std::wstring target;   // the module's name in the staging or backup folder
  KeepPartial keepPartial;
  HWND window;
  std::wstring folder;     // the run's folder, for the support log
  std::wstring installed;  // the module's installed file, a patch's source
};

bool Verified(const std::wstring& path, const DownloadTask& task) {
  return Gate().Run([&] { return FileMatchesTask(path, task); });
}

// What a cheaper way came to.
enum class WayOutcome { Done, Failed, DiskFull };

// The module's new file made the cheaper way, into the arrival path, and
// checked there exactly as a downloaded one.
WayOutcome ThroughCheaperWay(const WorkerJob& job, const FetchWay& way) {
  const char* kind = way.kind == FetchWay::Patch ? "a patch" : "the module deflated";
  std::optional<std::string> listed;
  // The first base that serves the listed bytes; fetched whole, bounded by
  // the listed size; progress counts its bytes.
  for (const std::string& base : job.task.bases) {
    SmallFile fetched(base + way.name, job.arrival + L".way",
                      {way.size, 0, 0, false, job.window, static_cast<UINT>(job.task.messageId)});
    const unsigned code = fetched.code();
    if (fetched.ok() && Sha256OfBytes(fetched.bytes()) == way.sha256) {
      listed = fetched.TakeBytes();
      break;
    }
    SupportLog(job.folder, "check %s: %s not fetched from %s or not the listed one (result %u): the next %s",
               job.task.localFileName.c_str(), kind, base.c_str(), code,
               &base == &job.task.bases.back() ? "way" : "base");
    if (code == FK_DISK_FULL) return WayOutcome::DiskFull;
  }
  if (!listed) return WayOutcome::Failed;
  std::string old;
  if (way.kind == FetchWay::Patch) {
    std::optional<std::string> installed = fw::ReadWholeFile(job.installed, kModuleMaxBytes);
    if (!installed) return WayOutcome::Failed;
    old = std::move(*installed);
  }
  PatchResult result = PatchResult::WriteFailed;
  DWORD writeError = 0;
  ArrivalCheck check(job.task, job.arrival);
  int64_t made = 0;
  {
    fw::ScopedFile out(::CreateFileW(job.arrival.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
      writeError = ::GetLastError();
    } else {
      const PatchSink sink = [&](const uint8_t* bytes, size_t count) {
        if (!fw::WriteAll(out.get(), bytes, count, writeError)) return false;
        // Checked as the bytes are made, as a download is as they arrive.
        check.OnBytes(way.moduleSize, made, bytes, static_cast<uint32_t>(count));
        made += static_cast<int64_t>(count);
        return true;
      };
      // Never more than the module is listed to be.
      const int64_t bound = way.moduleSize;
      const auto* bytes = reinterpret_cast<const uint8_t*>(listed->data());
      const size_t size = listed->size();
      result = way.kind == FetchWay::Patch
                   ? ApplyPatch(reinterpret_cast<const uint8_t*>(old.data()), old.size(), bytes, size, bound, sink)
                   : InflateBytes(bytes, size, bound, sink);
    }
  }
  const std::optional<bool> verdict = result == PatchResult::Ok ? check.Verdict() : std::optional<bool>(false);
  if (result != PatchResult::Ok || !(verdict ? *verdict : Verified(job.arrival, job.task))) {
    ::DeleteFileW(job.arrival.c_str());
    SupportLog(job.folder, "check %s: %s of %lld bytes %s: the next way", job.task.localFileName.c_str(), kind,
               static_cast<long long>(listed->size()),
               result != PatchResult::Ok ? PatchResultText(result) : "gave a file that is not the release's module");
    return fw::IsDiskFull(writeError) ? WayOutcome::DiskFull : WayOutcome::Failed;
  }
  SupportLog(job.folder, "check %s: %lld bytes, made from %s of %lld bytes and verified", job.task.localFileName.c_str(),
             static_cast<long long>(fw::FileSize(job.arrival)), kind, static_cast<long long>(listed->size()));
  return WayOutcome::Done;
}

// Fetches the module from `base` under `name` into the arrival path and checks it there.
unsigned FetchWhole(const WorkerJob& job, const std::string& base, const std::string& name, bool resume) {
  Download download = NewDownload();
  if (!download) return kResultNoDownloadObject;
  download->SetNotifyWnd(job.window, job.task.messageId, FK_DEFAULT_TIMEOUT, FK_DEFAULT_TIMEOUT, FK_RESERVED,
                         FK_REPORT_PROGRESS);
  // A signed release says how large each file is: nothing more is read.
  download->SetLimits(job.task.size >= 0 ? std::max<int64_t>(job.task.size, 1) : kModuleMaxBytes, 0);
  // The module is checked as its bytes arrive.
  ArrivalCheck check(job.task, job.arrival);
  download->SetReceiver(&check);
  // Only a retry resumes, and only from the base it began at.
  if (!resume) ::DeleteFileW(job.arrival.c_str());
  const unsigned result = download->DownloadW((base + name).c_str(), job.arrival.c_str(), 0);
  download.reset();
  if (!CountsAsSuccess(result)) {
    if (job.task.bases.size() > 1)
      SupportLog(job.folder, "transfer %s: not from %s%s (result %u)", job.task.localFileName.c_str(), base.c_str(),
                 name.c_str(), result);
    return result;
  }
  // A transfer that does not carry the manifest's fingerprint is not the
  // module: it is never staged or pre-loaded, and the retry fetches it whole.
  const int64_t size = fw::FileSize(job.arrival);
  const std::optional<bool> verdict = check.Verdict();
  const bool seen = verdict.has_value();
  if (!(seen ? *verdict : Verified(job.arrival, job.task))) {
    SupportLog(job.folder, "check %s: %lld bytes from %s are not the release's module (%s): deleted",
               job.task.localFileName.c_str(), static_cast<long long>(size), base.c_str(),
               job.task.sha256.empty() ? "fingerprint" : "fingerprint, signed SHA-256 and size");
    ::DeleteFileW(job.arrival.c_str());
    return kResultFingerprintMismatch;
  }
  SupportLog(job.folder, "check %s: %lld bytes, verified %s", job.task.localFileName.c_str(), static_cast<long long>(size),
             seen ? "as they arrived" : "from the file");
  return result;
}

// Whether a base answered for a file but not with it: other bytes, or a
// client error such as 404 (a copy an edge damaged or never had).
bool ServedWrong(unsigned result) {
  return result == kResultFingerprintMismatch ||
         (result >= FK_HTTP_STATUS_BASE + 400 && result < FK_HTTP_STATUS_BASE + 500);
}

// The module itself, from the first base that serves its bytes under its
// name by content; when a base served that name wrong, once more under the
// fixed name from the same bases.
unsigned FetchFromBases(const WorkerJob& job) {
  unsigned result = kResultNoDownloadObject;
  bool resume = job.keepPartial == KeepPartial::Yes, servedWrong = false;
  for (const std::string* name : {&job.task.remoteName, &job.task.fixedName}) {
    if (name == &job.task.fixedName) {
      if (!servedWrong || name->empty() || *name == job.task.remoteName) break;
      SupportLog(job.folder, "transfer %s: no base served %s right: fetched once more under %s",
                 job.task.localFileName.c_str(), job.task.remoteName.c_str(), name->c_str());
    }
    for (const std::string& base : job.task.bases) {
      // Only a retry resumes, and only from the base and name it began at.
      result = FetchWhole(job, base, *name, resume);
      resume = false;
      if (CountsAsSuccess(result) || result == FK_DISK_FULL || result == kResultNoDownloadObject) return result;
      servedWrong = servedWrong || ServedWrong(result);
    }
  }
  return result;
}

// Fetches one module and checks it against the manifest's fingerprint;
// `way` says how it came.
unsigned FetchModule(const WorkerJob& job, uint32_t& way) {
  way = kWayKept;
  // A module that an earlier run left verified at its target (a pre-load
  // in the backup folder, or a staged file a failed run left for its retry)
  // is not fetched again.
  if (fw::PathExists(job.target) && Verified(job.target, job.task)) {
    SupportLog(job.folder, "check %s: already %s and verified", job.task.localFileName.c_str(),
               job.arrival != job.target ? "pre-loaded" : "staged");
    return FK_ALREADY_COMPLETE;
  }
  // An interactive run takes what a pre-load already holds, verified (a
  // second name for it, or a copy), rather than fetching it again.
  const std::wstring preloaded = PathIn(job.folder + kBackgroundFolder, job.task.localFileName);
  if (job.arrival == job.target && fw::PathExists(preloaded) && Verified(preloaded, job.task) &&
      (::CreateHardLinkW(job.arrival.c_str(), preloaded.c_str(), nullptr) ||
       ::CopyFileW(preloaded.c_str(), job.arrival.c_str(), FALSE))) {
    SupportLog(job.folder, "check %s: taken from the pre-load, verified", job.task.localFileName.c_str());
    return FK_ALREADY_COMPLETE;
  }
  // The cheapest way first; any failure falls back to the next, and at
  // last to the module itself, within the same run.
  for (size_t i = 0; i < job.task.cheaper.size(); ++i) {
    const WayOutcome outcome = ThroughCheaperWay(job, job.task.cheaper[i]);
    if (outcome == WayOutcome::DiskFull) return FK_DISK_FULL;
    if (outcome != WayOutcome::Done) continue;
    if (job.arrival != job.target && !MoveIntoWhenFree(job.arrival, job.target)) return kResultNotStored;
    way = kWayCheaper + static_cast<uint32_t>(i);
    return FK_OK;
  }
  const unsigned result = FetchFromBases(job);
  if (!CountsAsSuccess(result)) return result;
  if (job.arrival != job.target && !MoveIntoWhenFree(job.arrival, job.target)) return kResultNotStored;
  way = kWayWhole;
  return result;
}

void DownloadWorker(const WorkerJob& job) {
  // Below the window's thread: its answers come first on a busy machine.
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
  const DWORD started = ::GetTickCount();
  const bool folder = fw::MakeFoldersOf(job.target);
  if (!folder)
    SupportLog(job.folder, "transfer %s: the folder of %s cannot be made (error %lu)", job.task.localFileName.c_str(),
               fw::Utf8(job.target).c_str(), ::GetLastError());
  uint32_t way = kWayNone;
  const unsigned result = folder ? FetchModule(job, way) : kResultNotStored;
  SupportLog(job.folder, "transfer %s: result %u after %lu ms%s", job.task.localFileName.c_str(), result,
             ::GetTickCount() - started, job.keepPartial == KeepPartial::Yes ? " (a retry, resuming)" : "");
  ::PostMessageW(job.window, WM_DOWNLOAD_FINISHED, result,
                 FinishedParam(job.task.messageId, CountsAsSuccess(result) ? way : kWayNone));
}

}  // namespace

void StartDownloadWorkers(const std::vector<DownloadTask>& tasks, const EngineSettings& settings, KeepPartial keep,
                          HWND window) {
  const std::wstring& folder = settings.moduleDirectory;
  for (const DownloadTask& task : tasks) {
    WorkerJob job{task, ArrivalPath(folder, task.localFileName, settings.mode),
                  DownloadTargetPath(folder, task.localFileName, settings.mode), keep, window, folder,
                  PathIn(settings.InstallFolder(), task.localFileName)};
    if (!fw::StartDetached([job] { DownloadWorker(job); }))
      ::PostMessageW(window, WM_DOWNLOAD_FINISHED, kResultNoDownloadObject, task.messageId);
  }
}
