// What one run of the updater came to, as the single request it sends when
// it ends ("UpdaterReport?<query>" under the server base): the one type that
// writes the query (the updater) and reads it back from a server's access
// log (the release tool). docs/integration.md, "Outcome reports", gives every
// field. It carries nothing that names a person, a machine or a path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

constexpr char kReportFileName[] = "UpdaterReport";
constexpr int kReportVersion = 1;
// The request is one attempt, over within this long; its answer is ignored.
constexpr int kReportDeadlineMs = 3000;

enum class RunEnd {
  Installed,  // the release was installed and the product restarted (modes 1, 2)
  Preloaded,  // the release was pre-loaded and its marker written (mode 3)
  Current,    // nothing differs from the release: nothing to do
  HeldBack,   // the release is not offered here (a rollout's stage, a pinned release)
  Refused,    // a check refused the release (signature, trust, a cache not caught up)
  Failed,     // the release could not be fetched, staged or installed
  Declined,   // the window was left before an update started (mode 1's 不升级)
  Cancelled,  // ended during a run, or after it before the finish
  Policy,     // the administrator's policy turned updates off
  Busy,       // another updater ran in the same folder
  Reverted,   // installed, but the product failed on it: the previous release is back (modes 1, 2)
};

// Where the first error of the run happened.
enum class RunStage { None, Recover, Manifest, Trust, Cache, Folder, Space, Download, Verify, Store, Install };

// How many modules came each way, and the bytes each way fetched.
struct WayCount {
  uint32_t modules = 0;
  uint64_t bytes = 0;
};

struct OutcomeReport {
  int32_t mode = 0;
  RunEnd end = RunEnd::Failed;
  RunStage stage = RunStage::None;
  uint32_t code = 0;          // the first error's code (a transfer's result, a check's)
  int64_t release = -1;       // the signed release checked; -1: none, or unsigned
  std::string content;        // the checked release's content id (ReleaseContentId): 8 hexadecimal digits
  int64_t before = -1;        // the release trusted before the run; -1: none
  // The rollout's stage (0 to 100 %) the run found, when the release was
  // staged: the same for every installation at a time, so it tells nothing
  // of this one; whether it was in the stage is the outcome (heldback or not).
  // The bucket is never sent: a sequence of them across releases is near unique.
  int32_t stagePercent = -1;
  WayCount patch, deflated, whole, kept;  // kept: taken from an earlier run's verified file
  uint32_t durationMs = 0;

  // Records the first error only.
  void FirstError(RunStage where, uint32_t what) {
    if (stage != RunStage::None) return;
    stage = where;
    code = what;
  }

  // The query, fields in a fixed order; unknown values are left out.
  std::string Query() const;
  // A query as a log recorded it (percent escapes are not expected, and any
  // field out of its range makes the whole report unread); unknown fields
  // are skipped, so later versions' additions are read by this one.
  static std::optional<OutcomeReport> FromQuery(std::string_view query);
};

const char* RunEndName(RunEnd end);
const char* RunStageName(RunStage stage);
