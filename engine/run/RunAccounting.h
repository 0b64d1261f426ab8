// Completion accounting of a download run, free of any window: what the
// results of a run's tasks decide.
#pragma once

#include <cstdint>

enum class UpdateState : int32_t {
  Idle = 0,       // no run started
  Running = 1,    // a run or a retry is under way
  Failed = 2,     // a run failed and no retry is left
  Succeeded = 3,  // every task of a run succeeded
};

// Results a worker posts besides the download library's codes.
constexpr unsigned kResultNoDownloadObject = 3;
// The file arrived but does not carry the manifest's fingerprint.
constexpr unsigned kResultFingerprintMismatch = 900;
// The file arrived and was verified but could not take its name.
constexpr unsigned kResultNotStored = 901;
// What a run's other steps found, as the first error of its outcome report.
constexpr unsigned kResultNotAManifest = 902;   // nothing this installation can be checked against
constexpr unsigned kResultNotTrusted = 903;     // a release this installation may not take
constexpr unsigned kResultStaleEntry = 904;     // a cache still serves a torn or older pair
constexpr unsigned kResultUnwritable = 905;     // the install or backup folder cannot be written
constexpr unsigned kResultNotInstalled = 906;   // the finish could not install the release
constexpr unsigned kResultNotRecovered = 907;   // an interrupted installation could not be completed
constexpr unsigned kResultReverted = 908;      // the product failed on this release here: it is not installed again
// 1000 + the update service's outcome (engine/install/ServiceRequest.h): it
// refused or could not install what the updater staged in a registered folder.
constexpr unsigned kResultServiceOutcome = 1000;

// Runs are retried while the number of runs started is at most this.
constexpr int32_t kRetryLimit = 3;

// 0 (fetched) and 1 (already complete) are successes; all else fails.
inline bool CountsAsSuccess(unsigned result) { return result == 0 || result == 1; }

enum class RunOutcome {
  Pending,    // more results are due
  Succeeded,  // all in, none failed
  Retry,      // all in, some failed, another run is allowed
  Failed,     // all in, some failed, no run left
};

// `taskCount` is the number of tasks of the run; a run whose manifest could
// not be fetched has no tasks and one failure.
RunOutcome DecideRun(int32_t succeeded, int32_t failed, int32_t taskCount, int32_t runCount);
