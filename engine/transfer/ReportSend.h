// The run's outcome report on its way out: one GET of "UpdaterReport?<query>"
// under the server base, one attempt, over within kReportDeadlineMs; the
// answer (a static server's 404 does as well as a 200) is read and dropped.
#pragma once

#include <string>

#include "engine/run/OutcomeReport.h"

// The download library's code; nothing depends on it.
unsigned SendOutcomeReport(const std::string& base, const OutcomeReport& report);
