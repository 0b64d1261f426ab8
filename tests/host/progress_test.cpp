#include <gtest/gtest.h>

#include "engine/run/ProgressMath.h"

namespace {

struct ProgressRun {
  ProgressCounters counters;
  bool marks[17];
  uint32_t slots[17] = {};
  uint32_t sizes[17] = {};
  int32_t alive = 0;
  int tasks;
  explicit ProgressRun(int taskCount) : tasks(taskCount) {
    for (bool& m : marks) m = true;
  }
  ProgressUpdate Report(int slot, uint32_t received, uint32_t size, int succeeded = 0, int failed = 0,
                        int failedUnannounced = -1) {
    slots[slot] = received;
    return StepProgress(counters, marks[slot], sizes[slot], slots, 17, size, succeeded, failed,
                        failedUnannounced < 0 ? failed : failedUnannounced, tasks, alive);
  }
};

}  // namespace

TEST(Progress, TokenUntilEverySizeIsKnownThenTheTruth) {
  ProgressRun run(2);
  auto u = run.Report(0, 100, 4096);
  EXPECT_EQ(u.kind, ProgressUpdate::Token);
  EXPECT_EQ(u.barPosition, 1);
  u = run.Report(0, 2048, 4096);
  EXPECT_EQ(u.kind, ProgressUpdate::Token);
  EXPECT_EQ(u.barPosition, 2);
  u = run.Report(0, 3000, 4096);
  EXPECT_EQ(u.barPosition, 2);  // capped
  u = run.Report(1, 1024, 4096);
  EXPECT_EQ(u.kind, ProgressUpdate::Full);
  EXPECT_EQ(u.barPosition, (3000 + 1024) * 100 / 8192);
  EXPECT_EQ(u.doneKilobytes, 3u);
  EXPECT_EQ(u.totalKilobytes, 8u);
}

TEST(Progress, EdgeCases) {
  ProgressRun kb(1);
  auto u = kb.Report(0, 1023, 2047);
  EXPECT_EQ(u.kind, ProgressUpdate::Full);
  EXPECT_EQ(u.doneKilobytes, 0u);
  EXPECT_EQ(u.totalKilobytes, 1u);

  ProgressRun big(1);
  u = big.Report(0, 3000000000u, 4000000000u);  // 100 x received overflows 32 bits
  EXPECT_EQ(u.barPosition, 75);

  ProgressRun unknown(1);
  u = unknown.Report(0, 500, 0);  // size not known: only the slot changes
  EXPECT_EQ(u.kind, ProgressUpdate::Nothing);
  EXPECT_EQ(unknown.slots[0], 500u);
  EXPECT_EQ(unknown.counters.reportedModules, 0);

  // After a failure the token no longer moves; the full update still comes
  // once the sizes known and the failures cover every task.
  ProgressRun failing(3);
  u = failing.Report(0, 10, 100, 0, 1);
  EXPECT_EQ(u.kind, ProgressUpdate::Nothing);
  u = failing.Report(1, 10, 100, 0, 1);
  EXPECT_EQ(u.kind, ProgressUpdate::Full);
  EXPECT_EQ(failing.alive, 0);
}

TEST(Progress, AModuleThatAnnouncedAndFailedCountsOnce) {
  // Three tasks: A announces 1 MB and fails; B announces; C announces 5 MB later.
  ProgressRun run(3);
  auto u = run.Report(0, 100 * 1024, 1 << 20);
  EXPECT_EQ(u.kind, ProgressUpdate::Token);
  // A failed after announcing: it is one of the announced, not one more.
  u = run.Report(1, 7 * 1024, 74 * 1024, 0, 1, 0);
  EXPECT_EQ(u.kind, ProgressUpdate::Nothing) << "a percentage over an incomplete total";
  u = run.Report(2, 1024, 5 << 20, 0, 1, 0);
  ASSERT_EQ(u.kind, ProgressUpdate::Full) << "the display froze for the rest of the run";
  EXPECT_EQ(u.totalKilobytes, 1024u + 74u + 5120u);
  u = run.Report(2, 2 << 20, 5 << 20, 0, 1, 0);
  EXPECT_EQ(u.kind, ProgressUpdate::Full);
  // One that failed before it announced stands in for its size.
  ProgressRun silent(2);
  silent.Report(0, 10, 100, 0, 1, 1);
  EXPECT_EQ(silent.Report(0, 20, 100, 0, 1, 1).kind, ProgressUpdate::Full);
}

TEST(Progress, ARetryRunStartsFromZero) {
  ProgressRun first(1);
  first.Report(0, 400, 1000);
  ProgressRun retry(1);  // new marks, slots and totals; only the alive counter is the process's
  retry.alive = 2;
  auto u = retry.Report(0, 250, 500);
  EXPECT_EQ(u.kind, ProgressUpdate::Full);
  EXPECT_EQ(u.barPosition, 50);
  EXPECT_EQ(retry.counters.totalBytes, 500u);
}

TEST(ProgressPacer, ShowsAtMostOncePerIntervalAndNeverLosesTheLatest) {
  using A = ProgressPacer::Action;
  auto full = [](int percent) {
    ProgressUpdate u;
    u.kind = ProgressUpdate::Full;
    u.barPosition = percent;
    return u;
  };
  struct Step {
    uint64_t at;
    int percent;  // -1: the timer ticks instead of a report
    A action;
    uint32_t timerMs;
    int shownByTick;  // percent the tick presents, -1: none
  };
  const Step steps[] = {
      {1000, 1, A::Show, 0, -1},      // the first report at once
      {1030, 2, A::ArmTimer, 70, -1},  // too soon: kept, timer for the rest of the interval
      {1060, 3, A::None, 0, -1},      // the timer is armed: only the kept one changes
      {1100, -1, A::None, 0, 3},      // the tick shows the latest
      {1150, 4, A::ArmTimer, 50, -1},  // measured from the tick's presentation
      {1200, -1, A::None, 0, 4},
      {1400, -1, A::None, 0, -1},     // a stray tick shows nothing
      {1500, 5, A::Show, 0, -1},      // quiet long enough: at once again
  };
  ProgressPacer pacer(100);
  for (const Step& s : steps) {
    if (s.percent < 0) {
      const std::optional<ProgressUpdate> due = pacer.Tick(s.at);
      EXPECT_EQ(due ? due->barPosition : -1, s.shownByTick) << "tick at " << s.at;
      continue;
    }
    uint32_t timerMs = 12345;
    EXPECT_EQ(pacer.Offer(full(s.percent), s.at, timerMs), s.action) << "report at " << s.at;
    EXPECT_EQ(timerMs, s.timerMs) << "report at " << s.at;
  }

  // Reports that change nothing do not count as shown.
  uint32_t timerMs = 0;
  EXPECT_EQ(pacer.Offer(ProgressUpdate{}, 1510, timerMs), A::None);

  // A new run starts afresh: nothing kept from the old one, the next report at once.
  EXPECT_EQ(pacer.Offer(full(6), 1520, timerMs), A::ArmTimer);
  pacer.Reset();
  EXPECT_FALSE(pacer.Tick(1600).has_value());
  EXPECT_EQ(pacer.Offer(full(0), 1601, timerMs), A::Show);
}

TEST(Progress, AModuleFetchedAnotherWayCountsItsNewSize) {
  // A patch of 1 KB announced, then abandoned for the module of 8 KB.
  ProgressRun run(2);
  run.Report(1, 2048, 2048);
  run.Report(0, 1024, 1024);
  auto u = run.Report(0, 0, 8192);
  EXPECT_EQ(u.kind, ProgressUpdate::Full);
  EXPECT_EQ(u.totalKilobytes, 10u);
  u = run.Report(0, 8192, 8192);
  EXPECT_EQ(u.barPosition, 100);
}
