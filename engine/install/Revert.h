// The probation of a newly installed release on the install folder: what the
// finish keeps, how the updater watches the relaunched product, and how a
// release the product failed on is put back (engine/install/Probation.h
// gives the files).
#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/install/Probation.h"
#include "engine/transfer/DownloadTask.h"
#include "framework/Scoped.h"

// The product's health event: "Local\Velnoria.Healthy.<process id>", manual
// reset; the updater creates it as it starts the product, the product opens
// or creates it and sets it once it is up.
std::wstring HealthEventName(DWORD processId);

// The named mutex a watching updater holds: "Global\Velnoria.Probation." and
// the folder lock's 16 digits. A run that finds a record while it exists
// leaves the probation to its watcher.
std::string ProbationWatchName(const std::wstring& folder);
bool ProbationWatched(const std::wstring& folder);

std::optional<ProbationRecord> ReadProbation(const std::wstring& folder);
bool WriteProbation(const std::wstring& folder, const ProbationRecord& record);
RevertedRelease ReadRevertedRelease(const std::wstring& folder);

// Whether the product failed here on the release of `content` (the folder remembers it).
bool RevertedHere(const std::wstring& folder, const std::string& content);
// A pre-load of that release is deleted, never to be marked installable again.
void DropRevertedPreload(const std::wstring& folder, const std::string& content);

// The probation is over, well: the previous release's files go, then the record.
void EndProbation(const std::wstring& folder);

// After an installation that kept the modules it replaced: the record of
// their fingerprints (`hadOld[i]`: the folder had tasks[i] before). False,
// with the kept files gone, when there is no way back.
bool RecordProbation(const std::wstring& folder, const std::vector<DownloadTask>& tasks, const std::vector<bool>& hadOld,
                     const std::string& content, int64_t release);

// Before an installation: a probation still open is over (the new release
// supersedes both), and so is the memory of a failed release of other content.
void PrepareForInstallation(const std::wstring& folder, const std::string& content);

// At a run's start, under the folder lock: a probation no updater watches
// any more is settled (a failed one reverted, a watched-over one ended), and
// previous files without a record go.
void SettleProbation(const std::wstring& folder);

// Puts the previous release back through the journal, all or nothing, and
// remembers the one that failed; true when the previous release is in place.
bool RevertRelease(const std::wstring& folder, const ProbationRecord& record);

// A relaunched product under watch: its process, its health event, when it started.
struct ProductOnProbation {
  fw::ScopedHandle process;
  fw::ScopedHandle health;
  DWORD startedAt = 0;  // GetTickCount at the relaunch
  int seconds = 0;
  std::string content;  // the release on probation
};
// Waits for the first sign (health, the updater-exit event, the process's
// end) or the end of the probation time.
ProbationEvents WatchProduct(const ProductOnProbation& product);

// The whole probation, without the folder lock (the product may start the
// next updater meanwhile): watches the product and, when it fails, takes the
// lock (bounded), puts the previous release back and starts the product on
// it. True when the release was reverted.
// In a registered folder (`throughService`) the record is the install
// folder's, the service puts the previous release back, and the updater's
// own files are in `workFolder`.
bool SeeProbationThrough(const std::wstring& workFolder, const std::wstring& installFolder, bool throughService,
                         const ProductOnProbation& product);

// How long a watcher waits for the folder lock after the probation.
constexpr DWORD kProbationLockWaitMs = 30000;
