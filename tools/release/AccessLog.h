// The outcome reports of the updaters, read from a web server's access logs
// (the combined format nginx, Apache and the common CDNs write; plain or
// gzip-compressed) and counted per release. Memory stays bounded whatever
// the logs hold: counts only, a bounded number of releases, failure codes
// and time slots (coarser slots when a release's span grows).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/run/OutcomeReport.h"

// The parts of one combined-format line a report reads.
struct AccessLine {
  int64_t time = 0;             // seconds since 1970, UTC
  std::string_view target;      // the request's path and query
  int status = 0;
};
// False when the line is not in the combined (or common) format.
bool ParseAccessLine(std::string_view line, AccessLine& out);

constexpr int kRunEnds = static_cast<int>(RunEnd::Reverted) + 1;
// A time slot's runs: by end (0 to kRunEnds - 1), then by mode (kModeCounts + mode - 1).
constexpr int kModeCounts = kRunEnds;
using SlotCounts = std::array<uint64_t, kRunEnds + 3>;
constexpr size_t kMaxReleases = 64;       // releases counted one by one; the rest together
constexpr size_t kMaxFailureKinds = 64;   // (stage, code) pairs per release; the rest together
constexpr size_t kMaxTimeSlots = 2048;    // per release, before its slots grow coarser
// The widths time slots take, finer to coarser: a minute up to a month.
constexpr int64_t kSlotWidths[] = {60, 600, 3600, 6 * 3600, 86400, 7 * 86400, 30 * 86400};
// The start of the slot of `width` seconds that holds `time`.
int64_t SlotStart(int64_t time, int64_t width);

struct ReleaseTally {
  uint64_t runs = 0;
  std::array<uint64_t, kRunEnds> byEnd{};
  std::array<std::array<uint64_t, kRunEnds>, 4> byModeEnd{};  // mode 1 to 3 (0 unused)
  // Runs by end and by mode per time slot (its start); every slot is slotSeconds wide.
  int64_t slotSeconds = 60;
  std::map<int64_t, SlotCounts> slots;
  int64_t first = INT64_MAX, last = INT64_MIN;
  // The rollout: by the stage (0 to 100 %) its runs found, the runs offered
  // the release and those held back.
  std::array<uint64_t, 101> offeredAt{}, heldBackAt{};
  uint64_t StagedRuns() const;
  int HighestStage() const;  // -1: no staged run
  uint64_t since = 0;        // when it entered the table (ReportTally's count)
  // First errors by (stage, code); those past the bound are counted together.
  std::map<std::pair<int, uint32_t>, uint64_t> failures;
  uint64_t otherFailures = 0;
  WayCount patch, deflated, whole, kept;
  uint64_t durationMsTotal = 0;
  // The signed numbers it was checked under (a rollout's stages each have one).
  int64_t lowestRelease = INT64_MAX, highestRelease = -1;

  void Add(const OutcomeReport& report, int64_t time);
  // Adds another release's counts (a release that leaves the table joins "other releases").
  void Merge(const ReleaseTally& other);

 private:
  // Every slot `seconds` wide (a coarser width than now).
  void Widen(int64_t seconds);
  // Counts into the slot that holds `time`, coarser slots once there are too many.
  void AddToSlot(int64_t time, const SlotCounts& counts);
  // Counts runs of a first error; past the bound, among the others.
  void CountFailure(std::pair<int, uint32_t> kind, uint64_t count);
  void AddWays(const WayCount& patch, const WayCount& deflated, const WayCount& whole, const WayCount& kept);
};

constexpr char kOtherReleases[] = "other releases";

struct ReportTally {
  uint64_t lines = 0;        // every line read
  uint64_t malformed = 0;    // not in the combined format: skipped
  uint64_t reports = 0;      // report requests read
  uint64_t unreadable = 0;   // report requests whose query does not read
  uint64_t files = 0;
  uint64_t labelsAdded = 0;
  // By release: "content xxxxxxxx" (the same at every stage of its rollout),
  // or "release N" when a report has no content id. Past kMaxReleases the
  // release with the fewest runs joins kOtherReleases to make room.
  std::map<std::string, ReleaseTally> releases;

  void AddLine(std::string_view line);
  // Reads a log whole, plain or gzip-compressed; false (with `error`) when
  // it cannot be opened or read.
  bool AddFile(const std::string& path, std::string& error);
};

// The release a report counts under.
std::string ReleaseLabel(const OutcomeReport& report);
// The releases, most runs first; and a release's title for people.
std::vector<std::pair<const std::string*, const ReleaseTally*>> ByRuns(const ReportTally& tally);
std::string ReleaseTitle(const std::string& label, const ReleaseTally& release);
