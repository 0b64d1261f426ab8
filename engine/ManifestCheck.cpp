// Download runs off the window's thread: the manifest check on an engine
// thread and one worker thread per out-of-date module.
#include "engine/ManifestCheck.h"

#include <imagehlp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>

#include "engine/ArrivalCheck.h"
#include "engine/DeltaPatch.h"
#include "engine/DownloadLibrary.h"
#include "engine/EngineMessages.h"
#include "engine/InstallPaths.h"
#include "engine/Installer.h"
#include "engine/ModuleDigest.h"
#include "engine/ParallelWork.h"
#include "engine/ReleaseTrust.h"
#include "engine/SmallFetch.h"
#include "engine/SupportLog.h"
#include "engine/UpdateMode.h"
#include "fetchkit/HttpDownload.h"
#include "framework/Files.h"
#include "framework/Scoped.h"
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

// The installed modules' fingerprints, worked out in parallel while the
// manifest is fetched.
class InstalledDigests {
 public:
  // With `withSha256` (an updater that takes signed releases), each file's
  // SHA-256 comes from the same read: it names the sources of patches.
  InstalledDigests(const std::string& folder, bool withSha256) {
    for (int i = 0; i < kModuleCount; ++i) paths_[i] = folder + kModuleCatalogue[i].LocalName();
    work_.Start(kModuleCount, [this, withSha256](int i) { FingerprintFile(paths_[i], withSha256, digests_[i], sha256_[i]); });
  }

  const std::string& Get(int index) {
    work_.Wait();
    return digests_[index];
  }
  const std::string& Sha256(int index) {
    work_.Wait();
    return sha256_[index];
  }

 private:
  std::string paths_[kModuleCount];
  std::string digests_[kModuleCount];
  std::string sha256_[kModuleCount];
  ParallelWork work_;  // last: its threads end before the strings go
};

// Everything one worker needs, its own copy.
struct WorkerJob {
  DownloadTask task;
  std::string arrival;  // where the bytes are written
  std::string target;   // the module's name in the staging or backup folder
  KeepPartial keepPartial;
  HWND window;
  std::string folder;  // the install folder, for the support log
};

bool Verified(const std::string& path, const DownloadTask& task) {
  return Gate().Run([&] { return FileMatchesTask(path, task); });
}

// What a cheaper way came to.
enum class WayOutcome { Done, Failed, DiskFull };

// The module's new file made the cheaper way, into the arrival path, and
// checked there exactly as a downloaded one.
WayOutcome ThroughCheaperWay(const WorkerJob& job, const FetchWay& way) {
  const char* kind = way.kind == FetchWay::Patch ? "a patch" : "the module deflated";
  std::string listed;
  {
    // Fetched whole, bounded by its listed size; progress counts its bytes.
    SmallFile fetched(way.url, job.arrival + ".way",
                      {way.size, 0, 0, false, job.window, static_cast<UINT>(job.task.messageId)});
    if (!fetched.ok() || Sha256OfBytes(fetched.bytes()) != way.sha256) {
      SupportLog(job.folder, "check %s: %s not fetched or not the listed one (result %u): the next way",
                 job.task.localFileName.c_str(), kind, fetched.code());
      return fetched.code() == FK_DISK_FULL ? WayOutcome::DiskFull : WayOutcome::Failed;
    }
    listed = fetched.TakeBytes();
  }
  std::string old;
  if (way.kind == FetchWay::Patch) {
    std::optional<std::string> installed = fw::ReadWholeFile(job.folder + job.task.localFileName, kModuleMaxBytes);
    if (!installed) return WayOutcome::Failed;
    old = std::move(*installed);
  }
  PatchResult result = PatchResult::WriteFailed;
  DWORD writeError = 0;
  ArrivalCheck check(job.task, job.arrival);
  int64_t made = 0;
  {
    fw::ScopedFile out(::CreateFileA(job.arrival.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
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
      const auto* bytes = reinterpret_cast<const uint8_t*>(listed.data());
      const size_t size = listed.size();
      result = way.kind == FetchWay::Patch
                   ? ApplyPatch(reinterpret_cast<const uint8_t*>(old.data()), old.size(), bytes, size, bound, sink)
                   : InflateBytes(bytes, size, bound, sink);
    }
  }
  const std::optional<bool> verdict = result == PatchResult::Ok ? check.Verdict() : std::optional<bool>(false);
  if (result != PatchResult::Ok || !(verdict ? *verdict : Verified(job.arrival, job.task))) {
    ::DeleteFileA(job.arrival.c_str());
    SupportLog(job.folder, "check %s: %s of %lld bytes %s: the next way", job.task.localFileName.c_str(), kind,
               static_cast<long long>(listed.size()),
               result != PatchResult::Ok ? PatchResultText(result) : "gave a file that is not the release's module");
    return fw::IsDiskFull(writeError) ? WayOutcome::DiskFull : WayOutcome::Failed;
  }
  SupportLog(job.folder, "check %s: %lld bytes, made from %s of %lld bytes and verified", job.task.localFileName.c_str(),
             static_cast<long long>(fw::FileSize(job.arrival)), kind, static_cast<long long>(listed.size()));
  return WayOutcome::Done;
}

// Fetches one module and checks it against the manifest's fingerprint.
unsigned FetchModule(const WorkerJob& job) {
  // A module that an earlier run already left verified under its name in
  // the backup folder is not fetched again.
  if (job.arrival != job.target && Verified(job.target, job.task)) {
    SupportLog(job.folder, "check %s: already pre-loaded and verified", job.task.localFileName.c_str());
    return FK_ALREADY_COMPLETE;
  }
  // The cheapest way first; any failure falls back to the next, and at
  // last to the module itself, within the same run.
  for (const FetchWay& way : job.task.cheaper) {
    const WayOutcome outcome = ThroughCheaperWay(job, way);
    if (outcome == WayOutcome::DiskFull) return FK_DISK_FULL;
    if (outcome != WayOutcome::Done) continue;
    if (job.arrival != job.target && !MoveInto(job.arrival, job.target, true)) return kResultNotStored;
    return FK_OK;
  }
  CHttpDownload* download = NewDownload();
  if (!download) return kResultNoDownloadObject;
  download->SetNotifyWnd(job.window, job.task.messageId, FK_DEFAULT_TIMEOUT, FK_DEFAULT_TIMEOUT, FK_RESERVED,
                         FK_REPORT_PROGRESS);
  // A signed release says how large each file is: nothing more is read.
  download->SetLimits(job.task.size >= 0 ? std::max<int64_t>(job.task.size, 1) : kModuleMaxBytes, 0);
  // The module is checked as its bytes arrive.
  ArrivalCheck check(job.task, job.arrival);
  download->SetReceiver(&check);
  if (job.keepPartial == KeepPartial::No) ::DeleteFileA(job.arrival.c_str());
  unsigned result = download->Download(job.task.url.c_str(), job.arrival.c_str(), 0);
  delete download;
  if (!CountsAsSuccess(result)) return result;
  // A transfer that does not carry the manifest's fingerprint is not the
  // module: it is never staged or pre-loaded, and the retry fetches it whole.
  const int64_t size = fw::FileSize(job.arrival);
  const std::optional<bool> verdict = check.Verdict();
  const bool seen = verdict.has_value();
  if (!(seen ? *verdict : Verified(job.arrival, job.task))) {
    SupportLog(job.folder, "check %s: %lld bytes arrived but are not the release's module (%s): deleted",
               job.task.localFileName.c_str(), static_cast<long long>(size),
               job.task.sha256.empty() ? "fingerprint" : "fingerprint, signed SHA-256 and size");
    ::DeleteFileA(job.arrival.c_str());
    return kResultFingerprintMismatch;
  }
  SupportLog(job.folder, "check %s: %lld bytes, verified %s", job.task.localFileName.c_str(), static_cast<long long>(size),
             seen ? "as they arrived" : "from the file");
  if (job.arrival != job.target && !MoveInto(job.arrival, job.target, true)) return kResultNotStored;
  return result;
}

void DownloadWorker(const WorkerJob& job) {
  const DWORD started = ::GetTickCount();
  const bool folder = ::MakeSureDirectoryPathExists(job.target.c_str()) != FALSE;
  if (!folder)
    SupportLog(job.folder, "transfer %s: the folder of %s cannot be made (error %lu)", job.task.localFileName.c_str(),
               job.target.c_str(), ::GetLastError());
  const unsigned result = folder ? FetchModule(job) : kResultNotStored;
  SupportLog(job.folder, "transfer %s: result %u after %lu ms%s", job.task.localFileName.c_str(), result,
             ::GetTickCount() - started, job.keepPartial == KeepPartial::Yes ? " (a retry, resuming)" : "");
  ::PostMessageA(job.window, WM_DOWNLOAD_FINISHED, result, job.task.messageId);
}

}  // namespace

ManifestCheck::ManifestCheck(EngineSettings settings, int32_t run, KeepPartial keepPartial, HWND window)
    : m_settings(std::move(settings)), m_run(run), m_keepPartial(keepPartial), m_window(window) {}

void ManifestCheck::Report(WPARAM outcome) { ::PostMessageA(m_window, WM_MANIFEST_CHECKED, outcome, m_run); }

bool ManifestCheck::FoldersWritable() {
  const std::string& folder = m_settings.moduleDirectory;
  // Better at once than after the download: every path of the run must fit.
  if (const size_t longest = LongestRunPath(folder, m_settings.mode); longest > kMaxPathLength) {
    SupportLog(folder, "run %d: the install folder's path is too long: a run needs paths of %u characters, the "
               "system allows %u: nothing is downloaded; install the product in a folder with a shorter path",
               m_run, static_cast<unsigned>(longest), static_cast<unsigned>(kMaxPathLength));
    return false;
  }
  const std::string target = folder + (m_settings.mode == ModeBackground ? kBackgroundFolder : kStagingFolder);
  const char* step = "make the folder";
  const bool existed = ::GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES;
  bool ok = ::MakeSureDirectoryPathExists(target.c_str()) != FALSE;
  // A run with nothing to fetch leaves no folder behind; the workers make it again.
  if (ok && !existed) ::RemoveDirectoryA(target.c_str());
  // A name of this thread's own: two updaters (or two runs) never share it.
  const std::string probe = folder + "Updater." + std::to_string(::GetCurrentProcessId()) + "." +
                            std::to_string(::GetCurrentThreadId()) + ".probe";
  const std::string moved = probe + ".moved";
  if (ok) {
    step = "write a file";
    HANDLE file = ::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ok = file != INVALID_HANDLE_VALUE && ::WriteFile(file, "probe", 5, &written, nullptr) && written == 5;
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  }
  if (ok) {
    step = "rename a file";
    ok = ::MoveFileExA(probe.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
  }
  if (ok) {
    step = "delete a file";
    ok = ::DeleteFileA(moved.c_str()) != FALSE;
  }
  const DWORD error = ::GetLastError();
  ::DeleteFileA(probe.c_str());
  ::DeleteFileA(moved.c_str());
  if (!ok)
    SupportLog(folder, "run %d: cannot %s in %s (error %lu): nothing is downloaded; install the product where its "
               "users can write, or start it with the rights to write there", m_run, step,
               (step[0] == 'm' ? target : folder).c_str(), error);
  return ok;
}

void ManifestCheck::CheckForUpdates() {
  RestoreSetAsideModules(m_settings.moduleDirectory);
  RemoveSetAsideLeftovers(m_settings.moduleDirectory);
  if (!FoldersWritable()) {
    Report(kCheckUnwritable);
    return;
  }
  // The installed modules are fingerprinted while the manifest comes.
  InstalledDigests installed(m_settings.moduleDirectory, !m_settings.releaseKeys.empty());
  {
    const SmallFile manifest(m_settings.serverBase + kManifestFileName, m_settings.moduleDirectory + kManifestLocalName,
                             {kManifestMaxBytes, 0, kManifestDeadlineMs});
    if (!manifest.ok()) {
      SupportLog(m_settings.moduleDirectory, "run %d: manifest not fetched: result %u%s", m_run, manifest.code(),
                 manifest.code() == FK_DISK_FULL ? " (the install folder's disk is full)" : "");
      Report(manifest.code() == FK_DISK_FULL ? kCheckNoSpace : kCheckFailed);
      return;
    }
    m_manifestSha256 = Sha256OfBytes(manifest.bytes());
    // Whatever answered may not be a manifest at all (a captive portal's page,
    // an error page sent as 200): a run goes on only with a fingerprint for
    // every module of the catalogue.
    const bool complete = ManifestIsComplete(manifest.path());
    if (!complete || (!m_settings.releaseKeys.empty() && !CheckSignedRelease(manifest.bytes()))) {
      SupportLog(m_settings.moduleDirectory, "run %d: manifest refused: %s", m_run,
                 !complete ? "no well-formed fingerprint for every module (not a manifest?)"
                           : "no valid signature by a trusted key, or a release this installation may not take");
      Report(kCheckFailed);
      return;
    }
    for (int i = 0; i < kModuleCount; ++i) {
      const ModuleEntry& row = kModuleCatalogue[i];
      CheckModule(row.baseName, manifest.path(), row.messageId, row.extension, &installed.Get(i), &installed.Sha256(i));
    }
    CheckUpdater(manifest.path());
  }  // the manifest's file goes
  // The list is complete and stays unchanged from here on: the window takes
  // it with this message, which it reads before any worker's result.
  SupportLog(m_settings.moduleDirectory, "run %d: manifest checked%s, %u module(s) to fetch", m_run,
             m_signed ? (", signed release " + std::to_string(m_signed->number)).c_str() : "",
             static_cast<unsigned>(m_tasks.size()));
  Report(kCheckDone);
  StartWorkers();
}

void ManifestCheck::StartWorkers() {
  for (const DownloadTask& task : m_tasks) {
    const std::string& folder = m_settings.moduleDirectory;
    WorkerJob job{task, ArrivalPath(folder, task.localFileName, m_settings.mode),
                  DownloadTargetPath(folder, task.localFileName, m_settings.mode), m_keepPartial, m_window, folder};
    if (!fw::StartDetached([job] { DownloadWorker(job); }))
      ::PostMessageA(m_window, WM_DOWNLOAD_FINISHED, kResultNoDownloadObject, task.messageId);
  }
}

void ManifestCheck::CheckModule(const char* baseName, const std::string& manifestPath, uint32_t messageId,
                                const char* extension, const std::string* installedDigest,
                                const std::string* installedSha256) {
  const std::string remoteName = std::string(baseName) + extension;
  const std::string localName = strcmp(baseName, kLauncherBaseName) == 0 ? kProductExecutable : remoteName;
  const std::string expected = LowerCaseDigest(ManifestValue(manifestPath, baseName));
  const std::string actual =
      installedDigest ? *installedDigest : ModuleDigest(m_settings.moduleDirectory + localName, kModuleDigestKey);
  if (actual == expected) return;
  DownloadTask task{messageId, localName, m_settings.serverBase + remoteName, expected, {}, -1, {}};
  if (m_signed) {
    const SignedFile& file = m_signed->modules.at(baseName);
    task.sha256 = file.sha256;
    task.size = file.size;
  }
  AddCheaperWays(task, manifestPath, baseName, actual, installedSha256 ? *installedSha256 : std::string());
  m_tasks.push_back(task);
}

void ManifestCheck::AddCheaperWays(DownloadTask& task, const std::string& manifestPath, const char* baseName,
                                   const std::string& installedDigest, const std::string& installedSha256) {
  // A patch counts only when it is made from the file installed: by its
  // SHA-256 for a signed release, by its fingerprint otherwise.
  for (int n = 1; n <= kMaxPatchesPerModule && !installedDigest.empty(); ++n) {
    std::istringstream words(ProfileValue(manifestPath, kPatchesSection, std::string(baseName) + "." + std::to_string(n)));
    std::string name, sha, sourceSha, sourceFingerprint;
    int64_t size = -1, moduleSize = -1;
    if (!(words >> name >> sha >> size >> sourceSha >> sourceFingerprint >> moduleSize)) continue;
    const bool fromInstalled = m_signed ? LowerCaseDigest(sourceSha) == installedSha256 && !installedSha256.empty()
                                        : LowerCaseDigest(sourceFingerprint) == installedDigest;
    if (!fromInstalled || !IsWellFormedSha256(sha) || size <= 0 || !PlausibleResult(task, moduleSize) ||
        name.find_first_of("/\\:") != std::string::npos)
      continue;
    task.cheaper.push_back({FetchWay::Patch, m_settings.serverBase + name, size, LowerCaseDigest(sha), moduleSize});
  }
  std::sort(task.cheaper.begin(), task.cheaper.end(), [](const FetchWay& a, const FetchWay& b) { return a.size < b.size; });
  std::istringstream words(ProfileValue(manifestPath, kCompressedSection, baseName));
  std::string sha;
  int64_t size = -1, moduleSize = -1;
  if (words >> sha >> size >> moduleSize && IsWellFormedSha256(sha) && size > 0 && PlausibleResult(task, moduleSize)) {
    const std::string remote = task.url.substr(m_settings.serverBase.size());
    task.cheaper.push_back(
        {FetchWay::Compressed, m_settings.serverBase + remote + kCompressedSuffix, size, LowerCaseDigest(sha), moduleSize});
  }
}

bool ManifestCheck::PlausibleResult(const DownloadTask& task, int64_t moduleSize) {
  // A way that promises another size than the signed one is no way to this module.
  return moduleSize >= 0 && moduleSize <= kModuleMaxBytes && (task.size < 0 || moduleSize == task.size);
}

std::string ManifestCheck::ProfileValue(const std::string& manifestPath, const char* section, const std::string& key) {
  // A section is read once (a run asks for hundreds of its keys), then looked up without regard to case.
  std::map<std::string, std::string>& values = m_sections[section];
  if (values.empty()) {
    std::vector<char> buffer(64 * 1024);
    DWORD n = 0;
    while ((n = ::GetPrivateProfileSectionA(section, buffer.data(), static_cast<DWORD>(buffer.size()),
                                            manifestPath.c_str())) == buffer.size() - 2 &&
           buffer.size() < (4u << 20))
      buffer.resize(buffer.size() * 2);
    for (const char* line = buffer.data(); *line; line += std::strlen(line) + 1) {
      const char* eq = std::strchr(line, '=');
      if (!eq) continue;
      std::string name(line, eq), value(eq + 1);
      while (!name.empty() && name.back() == ' ') name.pop_back();
      values.emplace(LowerCaseDigest(name), value);
    }
    values.emplace("", "");  // read, even when empty
  }
  const auto it = values.find(LowerCaseDigest(key));
  return it == values.end() ? std::string() : it->second;
}

bool ManifestCheck::CheckSignedRelease(const std::string& manifest) {
  const std::optional<VerifiedManifest> verified = FetchVerifiedRelease(
      m_settings.serverBase, m_settings.moduleDirectory, manifest, m_settings.releaseKeys, 0, kManifestDeadlineMs);
  // Never back to an older release than one trusted before, nor to other
  // contents under a trusted number, nor a frozen release past its expiry.
  if (!verified || !TrustRelease(m_settings.moduleDirectory, m_settings.releaseKeys, *verified, manifest,
                                 ("run " + std::to_string(m_run)).c_str()))
    return false;
  m_signed = verified->release;
  return true;
}

void ManifestCheck::CheckUpdater(const std::string& manifestPath) {
  // The updater renews itself when the release carries another one; a
  // keyed updater takes an updater only from a signed release.
  char value[260] = {};
  ::GetPrivateProfileStringA(kUpdaterSection, kUpdaterKey, "", value, sizeof value, manifestPath.c_str());
  const std::string expected = LowerCaseDigest(value);
  if (!IsWellFormedDigest(expected)) return;
  if (!m_settings.releaseKeys.empty() && !(m_signed && m_signed->updater)) {
    SupportLog(m_settings.moduleDirectory, "run %d: the release names an updater that is not signed: ignored", m_run);
    return;
  }
  if (ModuleDigest(m_settings.moduleDirectory + kUpdaterFileName, kModuleDigestKey) == expected) return;
  DownloadTask task{kUpdaterMessageId, kUpdaterFileName, m_settings.serverBase + kUpdaterFileName, expected, {}, -1, {}};
  if (m_signed) {
    task.sha256 = m_signed->updater->sha256;
    task.size = m_signed->updater->size;
  }
  m_tasks.push_back(task);
}

std::string ManifestCheck::ManifestValue(const std::string& manifestPath, const char* baseName) {
  char value[260] = {};
  ::GetPrivateProfileStringA(kManifestSection, baseName, "", value, sizeof value, manifestPath.c_str());
  return value;
}

bool ManifestCheck::ManifestIsComplete(const std::string& manifestPath) {
  for (const ModuleEntry& row : kModuleCatalogue)
    if (!IsWellFormedDigest(ManifestValue(manifestPath, row.baseName))) return false;
  return true;
}
