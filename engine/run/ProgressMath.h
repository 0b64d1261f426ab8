// What one progress report changes on screen, free of any window.
#pragma once

#include <cstdint>
#include <optional>

struct ProgressCounters {
  int32_t reportedModules = 0;  // modules that announced their size this run
  uint32_t totalBytes = 0;      // sum of the announced sizes
  uint32_t doneBytes = 0;       // sum of the per-module slots at the last update
};

struct ProgressUpdate {
  enum Kind { Nothing, Token, Full } kind = Nothing;
  int barPosition = 0;         // Token: 1 or 2; Full: the percentage
  uint32_t doneKilobytes = 0;  // Full only
  uint32_t totalKilobytes = 0;
};

// One report with `size` (0: not yet known) for a module whose first-report
// mark is `firstReport` and whose size as counted so far is `countedSize`
// (a module fetched another way after a first one failed, a patch then the
// module itself, announces a new size: the total follows it); `slots` are
// the bytes received per module, the report's own already stored. `failedUnannounced` counts the failed modules
// that never announced a size: with those that did, every module of the run
// is accounted for once, and the total is complete. `aliveCounter` is
// process-wide.
ProgressUpdate StepProgress(ProgressCounters& counters, bool& firstReport, uint32_t& countedSize, const uint32_t* slots,
                            int slotCount, uint32_t size, int32_t succeeded, int32_t failed, int32_t failedUnannounced,
                            int32_t taskCount, int32_t& aliveCounter);

// Reports come far more often than anyone can read them, and under Wine each
// bar position is painted at once: the window shows the latest report at
// most once per interval and keeps the rest for a timer.
class ProgressPacer {
 public:
  enum class Action { None, Show, ArmTimer };
  explicit ProgressPacer(uint32_t intervalMs) : interval_(intervalMs) {}

  // A report at `nowMs`. Show: present it now. ArmTimer: it is kept; a timer
  // of `timerMs` must be armed. None: nothing to present now (a timer is armed).
  Action Offer(const ProgressUpdate& update, uint64_t nowMs, uint32_t& timerMs);
  // The timer's tick: the kept report, if any, to present now.
  std::optional<ProgressUpdate> Tick(uint64_t nowMs);
  // A new run: nothing kept, no timer expected.
  void Reset();

 private:
  uint32_t interval_;
  std::optional<uint64_t> lastShown_;
  std::optional<ProgressUpdate> kept_;
};
