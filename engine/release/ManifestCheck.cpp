// The manifest check of a run, off the window's thread.
#include "engine/release/ManifestCheck.h"

#include <algorithm>
#include <array>

#include "engine/crypto/Sha256.h"
#include "engine/install/FolderCheck.h"
#include "engine/install/InstallPaths.h"
#include "engine/install/Preload.h"
#include "engine/install/Revert.h"
#include "engine/install/ServiceClient.h"
#include "engine/install/SetAside.h"
#include "engine/release/ModuleDigest.h"
#include "engine/release/ReleaseTrust.h"
#include "engine/run/EngineMessages.h"
#include "engine/run/RunAccounting.h"
#include "engine/run/SupportLog.h"
#include "engine/run/UpdateMode.h"
#include "engine/transfer/ArrivalCheck.h"
#include "engine/transfer/DownloadWorker.h"
#include "engine/transfer/SmallFetch.h"
#include "framework/Files.h"
#include "framework/ParallelWork.h"
#include "framework/Paths.h"

// The installed modules' fingerprints, worked out in parallel while the
// manifest is fetched.
class InstalledDigests {
 public:
  // With `withSha256` (an updater that takes signed releases), each file's
  // SHA-256 comes from the same read: it names the sources of patches.
  InstalledDigests(const std::wstring& folder, bool withSha256) {
    for (int i = 0; i < kModuleCount; ++i) paths_[i] = PathIn(folder, kModuleCatalogue[i].LocalName());
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
  std::wstring paths_[kModuleCount];
  std::string digests_[kModuleCount];
  std::string sha256_[kModuleCount];
  ParallelWork work_;  // last: its threads end before the strings go
};

ManifestCheck::ManifestCheck(EngineSettings settings, int32_t run, KeepPartial keepPartial, HWND window)
    : m_settings(std::move(settings)), m_run(run), m_keepPartial(keepPartial), m_window(window) {}

void ManifestCheck::Report(WPARAM outcome) {
  // The marker promises a complete, verified set: it goes before a run can
  // change the backup folder (and with any run that ends here), and comes
  // back only when a run has made one. A release held back leaves the
  // pre-load of another release as it is, but not its own: a halt holds
  // everywhere the release is not yet installed (the files stay for a later stage).
  const std::wstring& folder = m_settings.moduleDirectory;
  if (m_settings.mode == ModeBackground && outcome != kCheckHeldBack) {
    DropPreloadMarker(folder);
  } else if (m_settings.mode == ModeBackground && PreloadIsOf(folder, m_contentId, m_manifestSha256)) {
    DropPreloadMarker(folder);
    SupportLog(folder, "run %d: the pre-load of this release loses its marker: the release is held back here", m_run);
  }
  ::PostMessageW(m_window, WM_MANIFEST_CHECKED, outcome, m_run);
}

void ManifestCheck::Fail(WPARAM outcome, RunStage stage, uint32_t code) {
  m_problemStage = stage;
  m_problemCode = code;
  Report(outcome);
}

Offer OfferedHere(const EngineSettings& settings, const Manifest& manifest) {
  const bool rollout = manifest.rolloutPercent.value_or(100) < 100 && settings.mode != ModeMandatory;
  // The identity is made only where a stage asks for a bucket.
  int bucket = 0;
  if (rollout && !settings.policy.rolloutOverride) {
    const std::optional<std::string> identity = InstallationIdentity(settings.moduleDirectory);
    if (!identity)
      SupportLog(settings.moduleDirectory, "rollout: no identity could be drawn (the random generator failed): "
                 "this run has no bucket and takes only a release out to all");
    bucket = identity ? RolloutBucket(*identity, manifest) : kNoBucket;
  }
  Offer offer = DecideOffer(settings.mode, manifest, bucket, settings.policy, settings.stageUndecided);
  // A release the product failed on here is never installed again (mode 2 fails on it instead).
  if (offer.offered && settings.mode != ModeMandatory && RevertedHere(settings.moduleDirectory, offer.content)) {
    offer.offered = false;
    offer.why = "release " + offer.content + " was reverted here: the product failed on it";
  }
  return offer;
}

std::optional<Offer> OfferAtStart(const EngineSettings& settings) {
  // Within the notes' bounds, all bases and the signature together: the window waits for this.
  const ULONGLONG until = ::GetTickCount64() + kStartCheckDeadlineMs;
  FetchBounds bounds{kManifestMaxBytes, kStartCheckTimeoutMs, kStartCheckDeadlineMs, false};
  bounds.allBasesDeadlineMs = kStartCheckDeadlineMs;
  // Names of its own: the notes' check of a keyed updater fetches the same files meanwhile.
  const FirstAnswer manifest =
      FetchFromFirstAnswering(EntryBases(settings.serverBase, settings.moduleDirectory, settings.releaseKeys),
                              kManifestFileName, settings.moduleDirectory + L"Version.start.tmp", bounds);
  if (!manifest.ok()) return std::nullopt;
  if (settings.releaseKeys.empty()) return OfferedHere(settings, Manifest::Parse(manifest.bytes));
  const int left = MsUntil(until);
  if (left == 0) return std::nullopt;
  const std::optional<VerifiedManifest> verified =
      FetchVerifiedRelease(manifest.base, settings.moduleDirectory, manifest.bytes, settings.releaseKeys,
                           std::min(kStartCheckTimeoutMs, left), left, "ModelMD5.sig.start.tmp");
  // Only a signed stage may hold a release back, and only one the run would
  // take (not expired, not older than the release trusted, not other
  // contents under a trusted number): a replayed pair never silences the
  // updater. Otherwise the run decides, and refuses as it does.
  if (!verified || !TrustRelease(settings.moduleDirectory, settings.releaseKeys, *verified, manifest.bytes,
                                 "start check", false))
    return std::nullopt;
  return OfferedHere(settings, verified->manifest);
}

void ManifestCheck::UseManifest(const std::string& bytes) {
  m_manifest = Manifest::Parse(bytes);
  m_manifestSha256 = Sha256OfBytes(bytes);
  m_contentId = ReleaseContentId(m_manifest);
}

void ManifestCheck::CheckForUpdates() {
  const std::wstring& folder = m_settings.moduleDirectory;
  RestoreSetAsideModules(folder);
  RemoveSetAsideLeftovers(folder);
  if (!RunFoldersWritable(folder, m_settings.mode, m_run)) {
    Fail(kCheckUnwritable, RunStage::Folder, kResultUnwritable);
    return;
  }
  // In a registered folder only the update service installs: without it no
  // interactive run can end well, so none starts (a pre-load waits for it).
  if (m_settings.throughService && m_settings.mode != ModeBackground && !UpdateServiceAvailable()) {
    SupportLog(folder, "run %d: the install folder is registered for the update service, which is not installed or "
               "may not be started: nothing is downloaded", m_run);
    Fail(kCheckUnwritable, RunStage::Install, kResultServiceOutcome + static_cast<uint32_t>(ServiceOutcome::Unavailable));
    return;
  }
  // The installed modules are fingerprinted while the manifest comes.
  InstalledDigests installed(m_settings.InstallFolder(), !m_settings.releaseKeys.empty());
  std::string bytes;
  if (!FetchManifest(bytes) || !JudgeManifest(bytes)) return;
  if (!m_offer.offered) {
    SupportLog(folder, "run %d: the release is not offered to this installation (%s): nothing is fetched", m_run,
               m_offer.why.c_str());
    DropRevertedPreload(folder, m_contentId);
    Report(kCheckHeldBack);
    return;
  }
  if (RevertedHere(folder, m_contentId)) {
    SupportLog(folder, "run %d: release %s was reverted here (the product failed on it): it is not installed again",
               m_run, m_contentId.c_str());
    Fail(kCheckFailed, RunStage::Trust, kResultReverted);
    return;
  }
  if (!m_offer.why.empty()) SupportLog(folder, "run %d: the release is offered: %s", m_run, m_offer.why.c_str());
  QueueModules(installed);
}

bool ManifestCheck::FetchManifest(std::string& bytes) {
  const std::wstring& folder = m_settings.moduleDirectory;
  const bool keyed = !m_settings.releaseKeys.empty();
  std::vector<std::string> entryBases = EntryBases(m_settings.serverBase, folder, m_settings.releaseKeys);
  m_present = {};
  for (int i = 0; i < kModuleCount; ++i) m_present[i] = fw::PathExists(PathIn(m_settings.InstallFolder(), kModuleCatalogue[i].LocalName()));
  // A cache may hold a new manifest with an old signature, or yesterday's
  // pair, for a while after a publish: the pair is fetched once more, with
  // caches asked to check with the origin, before anything counts.
  for (int attempt = 0; attempt < 2; ++attempt) {
    FetchBounds bounds{kManifestMaxBytes, 0, kManifestDeadlineMs};
    bounds.revalidate = attempt > 0;
    const FirstAnswer manifest = FetchFromFirstAnswering(entryBases, kManifestFileName, folder + kManifestLocalName, bounds);
    if (!manifest.ok()) {
      SupportLog(folder, "run %d: manifest not fetched: result %u%s", m_run, manifest.code,
                 manifest.code == FK_DISK_FULL ? " (the install folder's disk is full)" : "");
      if (manifest.code == FK_DISK_FULL)
        Fail(kCheckNoSpace, RunStage::Space, manifest.code);
      else
        Fail(kCheckFailed, RunStage::Manifest, manifest.code);
      return false;
    }
    if (manifest.base != m_settings.serverBase)
      SupportLog(folder, "run %d: the server base did not answer: the manifest came from the mirror %s", m_run,
                 manifest.base.c_str());
    m_entryBase = manifest.base;
    entryBases = {m_entryBase};  // the signature, and a second look, from the same place
    // Every value is read from these bytes, the ones the signature covers.
    bytes = manifest.bytes;
    UseManifest(bytes);
    // Whatever answered may not be a manifest at all (a captive portal's
    // page, an error page sent as 200): a run goes on only with a
    // fingerprint for every module installed.
    m_shortfall = ManifestShortfall(m_manifest, m_present, false);
    m_verified.reset();
    if (!m_shortfall.empty() || !keyed) return true;
    m_verified = FetchVerifiedRelease(m_entryBase, folder, bytes, m_settings.releaseKeys, 0, kManifestDeadlineMs,
                                      kSignatureLocalName, bounds.revalidate);
    if (m_verified && m_verified->release().number >= TrustedNumber(folder, m_settings.releaseKeys)) return true;
    if (attempt == 0)
      SupportLog(folder, "run %d: the manifest %s: fetched once more, caches asked to revalidate", m_run,
                 m_verified ? "is older than the release trusted" : "and its signature do not agree");
  }
  FailUnverified();
  return false;
}

void ManifestCheck::FailUnverified() {
  const std::wstring& folder = m_settings.moduleDirectory;
  if (!m_verified) {
    // Looked at twice, caches asked to revalidate: not a signature by a trusted key.
    SupportLog(folder, "run %d: manifest refused: it has no signature by a trusted key (twice, caches asked to "
               "revalidate)", m_run);
    Fail(kCheckFailed, RunStage::Trust, kResultNotTrusted);
    return;
  }
  // Not taken, and not yet a sign of anything worse: the next run looks again.
  SupportLog(folder, "run %d: the server's manifest is still signed release %lld, older than release %lld trusted "
             "before (a cache catching up with a publish?): nothing is taken this run", m_run,
             static_cast<long long>(m_verified->release().number),
             static_cast<long long>(TrustedNumber(folder, m_settings.releaseKeys)));
  Fail(kCheckFailed, RunStage::Cache, kResultStaleEntry);
}

bool ManifestCheck::JudgeManifest(const std::string& bytes) {
  const std::wstring& folder = m_settings.moduleDirectory;
  const bool keyed = !m_settings.releaseKeys.empty();
  if (m_shortfall.empty() && keyed) m_shortfall = ManifestShortfall(m_manifest, m_present, true);
  // Offered to this installation? A release held back is judged, never kept as trusted.
  m_offer = m_shortfall.empty() ? OfferedHere(m_settings, m_manifest) : Offer{};
  // Never back to an older release than one trusted before, nor to other
  // contents under a trusted number, nor a frozen release past its expiry.
  const bool notAManifest = !m_shortfall.empty();
  if (m_shortfall.empty() && keyed &&
      !TrustRelease(folder, m_settings.releaseKeys, *m_verified, bytes, ("run " + std::to_string(m_run)).c_str(),
                    m_offer.offered))
    m_shortfall = "a release this installation may not take";
  if (!m_shortfall.empty()) {
    SupportLog(folder, "run %d: manifest refused: %s", m_run, m_shortfall.c_str());
    if (notAManifest)
      Fail(kCheckFailed, RunStage::Manifest, kResultNotAManifest);
    else
      Fail(kCheckFailed, RunStage::Trust, kResultNotTrusted);
    return false;
  }
  if (m_verified) m_signed = m_verified->release();
  return true;
}

void ManifestCheck::QueueModules(InstalledDigests& installed) {
  const std::wstring& folder = m_settings.moduleDirectory;
  for (int i = 0; i < kModuleCount; ++i) CheckModule(i, &installed.Get(i), &installed.Sha256(i));
  CheckUpdater();
  // Room before bytes: a run that cannot fit fails at once, having written nothing.
  if (!RoomForRun(folder, m_settings.mode, m_tasks, m_run)) {
    m_tasks.clear();
    Fail(kCheckNoSpace, RunStage::Space, FK_DISK_FULL);
    return;
  }
  // The list is complete and stays unchanged from here on: the window takes
  // it with this message, which it reads before any worker's result.
  m_tasksComplete = true;
  SupportLog(folder, "run %d: manifest checked%s, %u module(s) to fetch", m_run,
             m_signed ? (", signed release " + std::to_string(m_signed->number)).c_str() : "",
             static_cast<unsigned>(m_tasks.size()));
  Report(kCheckDone);
  StartDownloadWorkers(m_tasks, m_settings, m_keepPartial, m_window);
}

void ManifestCheck::CheckModule(int row, const std::string* installedDigest, const std::string* installedSha256) {
  const ModuleEntry& entry = kModuleCatalogue[row];
  const std::string localName = entry.LocalName();
  const std::string expected = LowerCaseDigest(m_manifest.fingerprints[row].value_or(std::string()));
  const std::string actual =
      installedDigest ? *installedDigest : ModuleDigest(PathIn(m_settings.InstallFolder(), localName), kModuleDigestKey);
  if (actual == expected) return;
  DownloadTask task{entry.messageId, localName, m_manifest.files.ModuleName(row), expected, {}, -1, {}, Bases(),
                    entry.RemoteName()};
  if (m_signed) {
    if (const auto it = m_signed->modules.find(entry.baseName); it != m_signed->modules.end()) {
      task.sha256 = it->second.sha256;
      task.size = it->second.size;
    }
  }
  AddCheaperWays(task, row, actual, installedSha256 ? *installedSha256 : std::string());
  m_tasks.push_back(task);
}

void ManifestCheck::AddCheaperWays(DownloadTask& task, int row, const std::string& installedDigest,
                                   const std::string& installedSha256) {
  // A patch counts only when it is made from the file installed: by its
  // SHA-256 for a signed release, by its fingerprint otherwise.
  for (const PatchEntry& patch : m_manifest.patches[row]) {
    if (installedDigest.empty()) break;
    const bool fromInstalled = m_signed ? patch.sourceSha256 == installedSha256 && !installedSha256.empty()
                                        : patch.sourceFingerprint == installedDigest;
    if (!fromInstalled || !PlausibleResult(task, patch.moduleSize)) continue;
    task.cheaper.push_back({FetchWay::Patch, patch.name, patch.size, patch.sha256, patch.moduleSize});
  }
  std::sort(task.cheaper.begin(), task.cheaper.end(), [](const FetchWay& a, const FetchWay& b) { return a.size < b.size; });
  if (const std::optional<CompressedEntry>& deflated = m_manifest.compressed[row];
      deflated && PlausibleResult(task, deflated->moduleSize))
    task.cheaper.push_back({FetchWay::Compressed, m_manifest.files.DeflatedName(row), deflated->size, deflated->sha256,
                            deflated->moduleSize});
}

std::vector<std::string> ManifestCheck::Bases() const {
  // The base that served the manifest first (the server base, unless it did
  // not answer), then the server base and the release's mirrors in order.
  std::vector<std::string> bases{m_entryBase.empty() ? m_settings.serverBase : m_entryBase, m_settings.serverBase};
  bases.insert(bases.end(), m_manifest.mirrors.begin(), m_manifest.mirrors.end());
  return AllowedBases(m_settings.serverBase, bases, !m_settings.releaseKeys.empty());
}

bool ManifestCheck::PlausibleResult(const DownloadTask& task, int64_t moduleSize) {
  // A way that promises another size than the signed one is no way to this module.
  return moduleSize >= 0 && moduleSize <= kModuleMaxBytes && (task.size < 0 || moduleSize == task.size);
}

void ManifestCheck::CheckUpdater() {
  // The updater renews itself when the release carries another one, and so
  // does the update service where the folder has one; a keyed updater takes
  // either only from a signed release.
  const std::optional<SignedFile> none;
  const SignedRelease* release = m_signed ? &*m_signed : nullptr;
  CheckProgram(kUpdaterFileName, kUpdaterMessageId, m_manifest.updaterFingerprint, release ? release->updater : none,
               m_manifest.files.UpdaterName());
  if (fw::PathExists(PathIn(m_settings.InstallFolder(), kServiceFileName)))
    CheckProgram(kServiceFileName, kServiceMessageId, m_manifest.serviceFingerprint, release ? release->service : none,
                 m_manifest.files.ServiceName());
}

void ManifestCheck::CheckProgram(const char* fileName, uint32_t messageId, const std::optional<std::string>& fingerprint,
                                 const std::optional<SignedFile>& signedFile, const std::string& remoteName) {
  const std::string expected = LowerCaseDigest(fingerprint.value_or(std::string()));
  if (!IsWellFormedDigest(expected)) return;
  if (!m_settings.releaseKeys.empty() && !signedFile) {
    SupportLog(m_settings.moduleDirectory, "run %d: the release names a %s that is not signed: ignored", m_run, fileName);
    return;
  }
  if (ModuleDigest(PathIn(m_settings.InstallFolder(), fileName), kModuleDigestKey) == expected) return;
  DownloadTask task{messageId, fileName, remoteName, expected, {}, -1, {}, Bases(), fileName};
  if (signedFile && m_signed) {
    task.sha256 = signedFile->sha256;
    task.size = signedFile->size;
  }
  m_tasks.push_back(task);
}
