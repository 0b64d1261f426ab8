// What `update-release report` writes of the counted outcome reports: a
// plain-text table for the terminal, and one self-contained HTML page (no
// script, nothing fetched when it is viewed) for the release team.
#pragma once

#include <string>
#include <vector>

#include "AccessLog.h"

// The colour each end of a run is drawn in (#rrggbb), by RunEnd.
const char* RunEndColour(RunEnd end);

std::string ReportText(const ReportTally& tally);
// `logs` name the files read; `generatedAt` is seconds since 1970.
std::string ReportHtml(const ReportTally& tally, const std::vector<std::string>& logs, int64_t generatedAt);
