// What one progress report changes on screen, free of any window.
#pragma once

#include <cstdint>

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
// mark is `firstReport`; `slots` are the bytes received per module, the
// report's own already stored. `aliveCounter` is process-wide.
ProgressUpdate StepProgress(ProgressCounters& counters, bool& firstReport, const uint32_t* slots, int slotCount,
                            uint32_t size, int32_t succeeded, int32_t failed, int32_t taskCount,
                            int32_t& aliveCounter);
