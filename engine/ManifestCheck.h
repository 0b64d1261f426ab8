// One run's manifest check, on the run's engine thread: fetches the manifest,
// queues every module whose installed file differs, tells the engine's
// window and starts one download worker per task. It owns everything it
// reads and writes, so an engine gone meanwhile leaves it nothing destroyed
// to reach.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/DownloadTask.h"
#include "engine/SignedRelease.h"
#include "engine/UpdateEngine.h"

class ManifestCheck {
 public:
  ManifestCheck(EngineSettings settings, int32_t run, KeepPartial keep, HWND window);

  // The whole check; posts WM_MANIFEST_CHECKED (failed, run) before the
  // first worker starts, so the window knows the tasks before any result.
  void CheckForUpdates();
  // Queues the module of one catalogue row when its installed file does not
  // carry the manifest's fingerprint (`installedDigest`, when already known).
  void CheckModule(const char* baseName, const std::string& manifestPath, uint32_t messageId, const char* extension,
                   const std::string* installedDigest = nullptr, const std::string* installedSha256 = nullptr);

  // The cheaper ways the manifest lists for a module: patches made from the
  // installed file (cheapest first), then the module deflated.
  void AddCheaperWays(DownloadTask& task, const std::string& manifestPath, const char* baseName,
                      const std::string& installedDigest, const std::string& installedSha256);
  std::string ProfileValue(const std::string& manifestPath, const char* section, const std::string& key);
  static bool PlausibleResult(const DownloadTask& task, int64_t moduleSize);

  // Queues the updater's own program when the release carries another one.
  void CheckUpdater(const std::string& manifestPath);

  // Complete once WM_MANIFEST_CHECKED is posted; unchanged afterwards.
  const std::vector<DownloadTask>& Tasks() const { return m_tasks; }
  // The signed release's number; -1 when the release is not signed.
  int64_t ReleaseNumber() const { return m_signed ? m_signed->number : -1; }
  // The SHA-256 of the manifest's bytes: names the release a pre-load promises.
  const std::string& ManifestSha256() const { return m_manifestSha256; }

  // The value of a module's key in the manifest; empty when it has none.
  static std::string ManifestValue(const std::string& manifestPath, const char* baseName);
  // True when the manifest gives a well-formed fingerprint for every module.
  static bool ManifestIsComplete(const std::string& manifestPath);

 private:
  void StartWorkers();
  // The run can stage (or pre-load) and install: the target folder can be
  // made, and a file written, renamed and deleted in the install folder.
  bool FoldersWritable();
  void Report(WPARAM outcome);
  // With release keys: the manifest's signature verifies, its signed section
  // is complete, and it is no older than the release installed.
  bool CheckSignedRelease(const std::string& manifest);

  const EngineSettings m_settings;
  const int32_t m_run;
  const KeepPartial m_keepPartial;
  const HWND m_window;
  std::vector<DownloadTask> m_tasks;
  std::optional<SignedRelease> m_signed;
  std::string m_manifestSha256;
  std::map<std::string, std::map<std::string, std::string>> m_sections;  // of the manifest, as read once
};

// Bounds of what a server may send: a module cannot be longer than its
// fingerprint can cover (a signed 32-bit length).
constexpr int kManifestDeadlineMs = 60000;
constexpr int64_t kModuleMaxBytes = 0x7FFFFFFF;
// Patches listed per module ([Patches] base name.1 to .N), one per earlier release.
constexpr int kMaxPatchesPerModule = 16;
// How a manifest check ended (WM_MANIFEST_CHECKED's wParam): done; failed
// (the run may be retried); the install folder cannot be written or its
// paths would not fit; its disk is full (no retry can help either).
constexpr WPARAM kCheckDone = 0, kCheckFailed = 1, kCheckUnwritable = 2, kCheckNoSpace = 3;
