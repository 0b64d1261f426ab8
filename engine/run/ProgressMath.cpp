#include "engine/run/ProgressMath.h"

ProgressUpdate StepProgress(ProgressCounters& c, bool& firstReport, uint32_t& countedSize, const uint32_t* slots,
                            int slotCount, uint32_t size, int32_t succeeded, int32_t failed, int32_t failedUnannounced,
                            int32_t taskCount, int32_t& aliveCounter) {
  ProgressUpdate update;
  if (size == 0) return update;
  if (firstReport) {
    c.reportedModules += 1;
    c.totalBytes += size;
    countedSize = size;
    firstReport = false;
  } else if (size != countedSize) {
    c.totalBytes = c.totalBytes - countedSize + size;
    countedSize = size;
  }
  uint32_t done = 0;
  for (int i = 0; i < slotCount; ++i) done += slots[i];
  c.doneBytes = done;
  // A module that announced its size and then failed counts once, among
  // those that announced.
  if (c.reportedModules + failedUnannounced == taskCount || succeeded + failed == taskCount) {
    update.kind = ProgressUpdate::Full;
    // 64-bit: 100 x done does not fit 32 bits above 42,949,672 bytes.
    update.barPosition =
        c.totalBytes ? static_cast<int>(100ull * c.doneBytes / c.totalBytes) : 0;
    update.doneKilobytes = c.doneBytes >> 10;
    update.totalKilobytes = c.totalBytes >> 10;
    return update;
  }
  if (failed != 0) return update;
  aliveCounter = aliveCounter + 1 > 2 ? 2 : aliveCounter + 1;
  update.kind = ProgressUpdate::Token;
  update.barPosition = aliveCounter;
  return update;
}

ProgressPacer::Action ProgressPacer::Offer(const ProgressUpdate& update, uint64_t nowMs, uint32_t& timerMs) {
  timerMs = 0;
  if (update.kind == ProgressUpdate::Nothing) return Action::None;
  // A kept report means the timer is armed.
  const bool timerArmed = kept_.has_value();
  if (!timerArmed && (!lastShown_ || nowMs - *lastShown_ >= interval_)) {
    lastShown_ = nowMs;
    return Action::Show;
  }
  kept_ = update;
  if (timerArmed) return Action::None;
  timerMs = static_cast<uint32_t>(interval_ - (nowMs - *lastShown_));
  return Action::ArmTimer;
}

std::optional<ProgressUpdate> ProgressPacer::Tick(uint64_t nowMs) {
  std::optional<ProgressUpdate> due;
  due.swap(kept_);
  if (due) lastShown_ = nowMs;
  return due;
}

void ProgressPacer::Reset() {
  lastShown_.reset();
  kept_.reset();
}
