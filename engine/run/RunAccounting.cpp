#include "engine/run/RunAccounting.h"

RunOutcome DecideRun(int32_t succeeded, int32_t failed, int32_t taskCount, int32_t runCount) {
  if (succeeded + failed != taskCount && !(taskCount == 0 && failed > 0)) return RunOutcome::Pending;
  if (failed <= 0) return RunOutcome::Succeeded;
  return runCount <= kRetryLimit ? RunOutcome::Retry : RunOutcome::Failed;
}
