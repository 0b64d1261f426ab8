// How each module's bytes came, across the runs of one updater (a retry
// keeps a module an earlier run fetched), for the outcome report: by a
// patch, deflated, whole, or kept from an earlier run, with the bytes fetched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/run/EngineMessages.h"
#include "engine/run/OutcomeReport.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/transfer/DownloadTask.h"

class ArrivalTally {
 public:
  // Module `messageId` of `tasks` came by `way` (kWayWhole, kWayKept,
  // kWayCheaper + index) into `folder` in `mode` (a whole module the release
  // signs no size for counts the size of what arrived).
  void Note(const std::vector<DownloadTask>& tasks, uint32_t messageId, uint32_t way, const std::wstring& folder,
            int32_t mode);
  // Adds every task's way and bytes to the report's counts.
  void AddTo(OutcomeReport& report, const std::vector<DownloadTask>& tasks) const;

 private:
  struct Arrival {
    WayCount OutcomeReport::*way = nullptr;  // the report's count it adds to; null: none yet
    uint64_t bytes = 0;
  };
  Arrival m_arrivals[kProgressSlots];
};
