#include "engine/transfer/ReportSend.h"

#include <windows.h>

#include "engine/transfer/SmallFetch.h"

unsigned SendOutcomeReport(const std::string& base, const OutcomeReport& report) {
  // The answer lands in the user's temporary folder, never in the install
  // folder the product runs from again by now.
  char temp[MAX_PATH] = {};
  const DWORD length = ::GetTempPathA(MAX_PATH, temp);
  if (length == 0 || length >= MAX_PATH) return 3;
  const std::string local = std::string(temp) + "Velnoria-UpdaterReport." + std::to_string(::GetCurrentProcessId()) + ".tmp";
  const SmallFile answer(base + kReportFileName + "?" + report.Query(), local,
                         {64 * 1024, kReportDeadlineMs, kReportDeadlineMs, false});
  return answer.code();
}
