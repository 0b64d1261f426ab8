// A new release on probation: the finish of an interactive run keeps the
// modules it replaced ("UpgradeBackup_R\") and a record of them
// ("Probation.ini") until the product has proved itself on the new release;
// a product that fails on it gets the previous release back, and the folder
// remembers the release that failed ("Reverted.ini") so that no run installs
// or pre-loads it again. Both files are replaced whole:
//
//   [Probation]                          [Reverted]
//   State=watching | failed               Content=<content id>
//   Content=<content id of the release>   Release=<signed number, or -1>
//   Release=<signed number, or -1>        ExitCode=<the product's, decimal>
//   ExitCode=<decimal, when failed>       Seconds=<after its start>
//   Seconds=<after its start, when failed>
//   [Previous]
//   <module file>=<its fingerprint> | new
//
// "new": the release brought the module to the folder (no previous file).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

constexpr wchar_t kProbationRecordName[] = L"Probation.ini";
constexpr wchar_t kRevertedReleaseName[] = L"Reverted.ini";
constexpr wchar_t kPreviousReleaseFolder[] = L"UpgradeBackup_R\\";

// What ended a probation, and when.
struct ProbationEvents {
  bool healthSignalled = false;  // the product set its health event
  bool updaterExitSet = false;   // the product set the updater-exit event: it runs
  bool processEnded = false;
  uint32_t exitCode = 0;         // when processEnded
  bool timeUp = false;           // the probation time passed with the product running
};
// Healthy unless the product ended, before any sign of health, with an exit
// code other than 0 (an unhandled exception's status included).
bool ProductFailed(const ProbationEvents& events);

struct ProbationRecord {
  bool failed = false;    // State=failed: the product failed, the previous release goes back
  std::string content;    // the new release's content id
  int64_t release = -1;
  uint32_t exitCode = 0;  // when failed
  uint32_t seconds = 0;   // when failed: how long after its start
  // The modules the release replaced: name and fingerprint (empty: new to the folder).
  std::vector<std::pair<std::string, std::string>> previous;

  // Nothing when the text is not a whole record (a module named twice, a
  // name with a path, a fingerprint that is not 32 hexadecimal digits).
  static std::optional<ProbationRecord> Parse(std::string_view bytes);
  std::string Text() const;
};

struct RevertedRelease {
  std::string content;  // empty: nothing remembered
  int64_t release = -1;
  uint32_t exitCode = 0;
  uint32_t seconds = 0;

  static RevertedRelease Parse(std::string_view bytes);
  std::string Text() const;
};
