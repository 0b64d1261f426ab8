#include "engine/transfer/ReportSend.h"

#include <windows.h>

#include "engine/run/RunAccounting.h"
#include "engine/transfer/SmallFetch.h"
#include "framework/Files.h"

unsigned SendOutcomeReport(const std::string& base, const OutcomeReport& report) {
  // The answer lands in the user's temporary folder, never in the install
  // folder the product runs from again by now.
  const std::wstring temp = fw::TempFolder();
  if (temp.empty()) return kResultNoDownloadObject;
  const std::wstring local = temp + L"Velnoria-UpdaterReport." + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
  const SmallFile answer(base + kReportFileName + "?" + report.Query(), local,
                         {64 * 1024, kReportDeadlineMs, kReportDeadlineMs, false});
  return answer.code();
}
