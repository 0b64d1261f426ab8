#include "engine/run/ArrivalTally.h"

#include "engine/install/InstallPaths.h"
#include "framework/Files.h"

void ArrivalTally::Note(const std::vector<DownloadTask>& tasks, uint32_t messageId, uint32_t way,
                        const std::wstring& folder, int32_t mode) {
  const int slot = ProgressSlotOfMessage(messageId);
  if (slot < 0) return;
  Arrival& arrival = m_arrivals[slot];
  // Kept from an earlier run of this updater: it came the way that run fetched it.
  if (way == kWayKept && arrival.way) return;
  arrival = {way == kWayKept ? &OutcomeReport::kept : nullptr, 0};
  for (const DownloadTask& task : tasks) {
    if (task.messageId != messageId) continue;
    if (way >= kWayCheaper && way - kWayCheaper < task.cheaper.size()) {
      const FetchWay& cheaper = task.cheaper[way - kWayCheaper];
      arrival = {cheaper.kind == FetchWay::Patch ? &OutcomeReport::patch : &OutcomeReport::deflated,
                 static_cast<uint64_t>(cheaper.size > 0 ? cheaper.size : 0)};
    } else if (way == kWayWhole) {
      const int64_t size =
          task.size >= 0 ? task.size : fw::FileSize(DownloadTargetPath(folder, task.localFileName, mode));
      arrival = {&OutcomeReport::whole, static_cast<uint64_t>(size > 0 ? size : 0)};
    }
  }
}

void ArrivalTally::AddTo(OutcomeReport& report, const std::vector<DownloadTask>& tasks) const {
  for (const DownloadTask& task : tasks) {
    const int slot = ProgressSlotOfMessage(task.messageId);
    if (slot < 0) continue;
    const Arrival& arrival = m_arrivals[slot];
    if (!arrival.way) continue;
    (report.*arrival.way).modules += 1;
    (report.*arrival.way).bytes += arrival.bytes;
  }
}
