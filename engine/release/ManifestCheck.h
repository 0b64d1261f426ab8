// One run's manifest check, on the run's engine thread: fetches the manifest
// (and, with release keys, its signature), queues every module whose
// installed file differs, tells the engine's window and starts the download
// workers. It owns everything it reads and writes, so an engine gone
// meanwhile leaves it nothing destroyed to reach.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/release/Manifest.h"
#include "engine/release/ReleaseTrust.h"
#include "engine/run/EngineSettings.h"
#include "engine/run/OutcomeReport.h"
#include "engine/transfer/DownloadTask.h"

class InstalledDigests;

class ManifestCheck {
 public:
  ManifestCheck(EngineSettings settings, int32_t run, KeepPartial keep, HWND window);

  // The whole check; posts WM_MANIFEST_CHECKED (outcome, run) before the
  // first worker starts, so the window knows the tasks before any result.
  void CheckForUpdates();

  // The manifest the modules are compared with, from its bytes as fetched.
  void UseManifest(const std::string& bytes);
  // Queues the module of catalogue row `row` when its installed file does
  // not carry the manifest's fingerprint (`installedDigest`, when known).
  void CheckModule(int row, const std::string* installedDigest = nullptr, const std::string* installedSha256 = nullptr);
  // Queues the updater's own program when the release carries another one,
  // and the update service's where the install folder has one.
  void CheckUpdater();
  void CheckProgram(const char* fileName, uint32_t messageId, const std::optional<std::string>& fingerprint,
                    const std::optional<SignedFile>& signedFile, const std::string& remoteName);
  static bool PlausibleResult(const DownloadTask& task, int64_t moduleSize);

  // Complete once TasksComplete() is true (before WM_MANIFEST_CHECKED is
  // posted and any worker starts); unchanged afterwards.
  const std::vector<DownloadTask>& Tasks() const { return m_tasks; }
  bool TasksComplete() const { return m_tasksComplete.load(); }
  // The signed release's number; -1 when the release is not signed.
  int64_t ReleaseNumber() const { return m_signed ? m_signed->number : -1; }
  // The SHA-256 of the manifest's bytes: names the release a pre-load promises.
  const std::string& ManifestSha256() const { return m_manifestSha256; }
  // Read once WM_MANIFEST_CHECKED has come: why the check ended without
  // tasks (RunStage::None when it did not fail), and the offer it judged.
  RunStage ProblemStage() const { return m_problemStage; }
  uint32_t ProblemCode() const { return m_problemCode; }
  const Offer& OfferMade() const { return m_offer; }
  const std::string& ContentId() const { return m_contentId; }
  int ProbationSeconds() const { return m_manifest.ProbationSeconds(); }

 private:
  // The steps of the check: the manifest (and its signature) fetched, then
  // judged (a manifest at all, signed, trusted, offered here), then the
  // modules that differ queued and their workers started. Each step that
  // fails reports and returns false.
  bool FetchManifest(std::string& bytes);
  bool JudgeManifest(const std::string& bytes);
  // A pair still unverified after the second look: refused without a
  // signature by a trusted key, a cache catching up when merely older.
  void FailUnverified();
  void QueueModules(InstalledDigests& installed);
  // The cheaper ways the manifest lists for a module: patches made from the
  // installed file (cheapest first), then the module deflated.
  void AddCheaperWays(DownloadTask& task, int row, const std::string& installedDigest,
                      const std::string& installedSha256);
  void Report(WPARAM outcome);
  void Fail(WPARAM outcome, RunStage stage, uint32_t code);
  // Where this run's files are fetched, in order.
  std::vector<std::string> Bases() const;

  const EngineSettings m_settings;
  const int32_t m_run;
  const KeepPartial m_keepPartial;
  const HWND m_window;
  Manifest m_manifest;
  std::vector<DownloadTask> m_tasks;
  std::atomic<bool> m_tasksComplete{false};
  std::optional<SignedRelease> m_signed;
  std::optional<VerifiedManifest> m_verified;  // the fetched pair, when its signature checks
  std::array<bool, kModuleCount> m_present{};  // catalogue files installed
  std::string m_shortfall;                     // why the manifest cannot be used; empty: it can
  std::string m_manifestSha256;
  std::string m_contentId;
  std::string m_entryBase;  // the base that served the manifest
  RunStage m_problemStage = RunStage::None;
  uint32_t m_problemCode = 0;
  Offer m_offer;
};

// The manifest's fetch is bounded in time as well as in size.
constexpr int kManifestDeadlineMs = 60000;

// Whether the release `manifest` describes is offered to this installation
// (DecideOffer with its bucket and the policy of `settings`).
Offer OfferedHere(const EngineSettings& settings, const Manifest& manifest);

// At the start of mode 1, before the window shows: the same decision from
// the server's manifest (verified with the release keys, when there are
// any), fetched within a few seconds; nothing when it could not be made
// (the run then decides).
std::optional<Offer> OfferAtStart(const EngineSettings& settings);
constexpr int kStartCheckTimeoutMs = 5000, kStartCheckDeadlineMs = 8000;
