// The outcome report's query as a server's log recorded it: what reads,
// written again, reads the same.
#include "FuzzCheck.h"
#include "engine/run/OutcomeReport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::optional<OutcomeReport> report = OutcomeReport::FromQuery(AsText(data, size));
  if (!report) return 0;
  const std::string query = report->Query();
  const std::optional<OutcomeReport> again = OutcomeReport::FromQuery(query);
  FUZZ_CHECK(again && again->Query() == query);
  return 0;
}
