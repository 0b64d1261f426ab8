// The access logs the release tool reads, line by line, and the report made
// of them: bounded counts, and no text from a log becomes markup on the page.
#include "FuzzCheck.h"
#include "ReportPage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = AsText(data, size);
  ReportTally tally;
  for (size_t at = 0; at <= text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    tally.AddLine(text.substr(at, end - at));
    at = end + 1;
  }
  FUZZ_CHECK(tally.reports <= tally.lines && tally.releases.size() <= kMaxReleases + 1);
  for (const auto& [label, release] : tally.releases) FUZZ_CHECK(release.slots.size() <= kMaxTimeSlots);
  ReportText(tally);
  const std::string page = ReportHtml(tally, {"access.log"}, 1700000000);
  FUZZ_CHECK(page.find("<script") == std::string::npos && page.find("<img") == std::string::npos);
  return 0;
}
