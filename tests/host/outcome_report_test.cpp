// The outcome report's query, as the updater writes it and the release tool
// reads it back from access logs; the logs' lines; the counts a report makes.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "AccessLog.h"
#include "ReportPage.h"
#include "engine/run/OutcomeReport.h"

namespace {

OutcomeReport Sample(RunEnd end) {
  OutcomeReport r;
  r.mode = 3;
  r.end = end;
  r.release = 12;
  r.content = "0a1b2c3d";
  r.before = 11;
  r.stagePercent = 40;
  r.patch = {3, 4096};
  r.whole = {1, 1 << 20};
  r.durationMs = 5321;
  if (end == RunEnd::Failed) r.FirstError(RunStage::Download, 1404);
  r.FirstError(RunStage::Verify, 900);  // only the first error counts
  return r;
}

}  // namespace

TEST(OutcomeReport, TheQueryOfEveryEndReadsBackAsWritten) {
  EXPECT_EQ(Sample(RunEnd::Failed).Query(),
            "v=1&mode=3&outcome=failed&stage=download&code=1404&release=12&content=0a1b2c3d&before=11&rollout=40"
            "&patch=3&patchbytes=4096&whole=1&wholebytes=1048576&ms=5321");
  OutcomeReport bare;  // nothing known: only what every report has
  bare.mode = 1;
  bare.end = RunEnd::Declined;
  EXPECT_EQ(bare.Query(), "v=1&mode=1&outcome=declined&stage=none&code=0&ms=0");
  for (int e = 0; e <= static_cast<int>(RunEnd::Reverted); ++e) {
    const OutcomeReport r = Sample(static_cast<RunEnd>(e));
    const std::optional<OutcomeReport> back = OutcomeReport::FromQuery(r.Query());
    ASSERT_TRUE(back) << r.Query();
    EXPECT_EQ(back->Query(), r.Query());
    EXPECT_EQ(back->end, r.end);
  }
}

TEST(OutcomeReport, AQueryOutOfItsRangesIsNotRead) {
  const std::string good = "v=1&mode=1&outcome=installed";
  struct Case {
    std::string query;
    bool read;
  } cases[] = {
      {good, true},
      {good + "&future=7&v2field=x", true},  // a later version's fields are skipped
      {"mode=1&outcome=installed", false},   // no version
      {"v=1&outcome=installed", false},
      {"v=1&mode=1", false},
      {"v=1&mode=4&outcome=installed", false},
      {"v=1&mode=1&outcome=exploded", false},
      {good + "&stage=moon", false},
      {good + "&release=-5", false},
      {good + "&release=+5", false},
      {good + "&rollout=101", false},
      {good + "&bucket=37", true},  // older updaters' bucket: skipped, never counted
      {good + "&code=99999999999", false},
      {good + "&content=0A1B2C3D", false},
      {good + "&content=../etc", false},
      {good + "&patch=1001", false},
      {good + "&wholebytes=2000000000000", false},
      {good + "&ms=1e3", false},
      {good + "&&", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(OutcomeReport::FromQuery(c.query).has_value(), c.read) << c.query;
}

TEST(AccessLog, CombinedAndCommonLinesReadAndOthersDoNot) {
  struct Case {
    const char* line;
    bool read;
    int64_t time;
    const char* target;
  } cases[] = {
      {"127.0.0.1 - - [09/Dec/2026:14:49:58 +0000] \"GET /r/UpdaterReport?v=1 HTTP/1.1\" 404 35 \"-\" \"WinINet\"", true,
       1796827798, "/r/UpdaterReport?v=1"},
      // Apache with a zone west of UTC, a user, no referer or agent (the common format).
      {"10.1.2.3 - alice [10/Oct/2000:13:55:36 -0700] \"GET /a.gif HTTP/1.0\" 200 2326", true, 971211336, "/a.gif"},
      {"::1 - - [01/Jan/2024:00:00:00 +0530] \"HEAD /x HTTP/1.1\" 200 - \"-\" \"-\"", true, 1704047400, "/x"},
      {"h - - [09/Dec/2026:14:49:58 +0000] \"GET /old\" 200 1", true, 1796827798, "/old"},  // no protocol
      {"", false, 0, ""},
      {"garbage", false, 0, ""},
      {"h - - [09/Dec/2026:14:49:58] \"GET / HTTP/1.1\" 200 1", false, 0, ""},           // no zone
      {"h - - [31/Foo/2026:14:49:58 +0000] \"GET / HTTP/1.1\" 200 1", false, 0, ""},     // no such month
      {"h - - [09/Dec/2026:25:49:58 +0000] \"GET / HTTP/1.1\" 200 1", false, 0, ""},     // no such hour
      {"h - - [09/Dec/2026:14:49:58 +0000] \"GET / HTTP/1.1\" 2x0 1", false, 0, ""},     // status
      {"h - - [09/Dec/2026:14:49:58 +0000] \"GET / HTTP/1.1\" 2000 1", false, 0, ""},
      {"h - - [09/Dec/2026:14:49:58 +0000] \"GET / HTTP/1.1", false, 0, ""},             // cut short
      {"h - - [09/Dec/2026:14:49:58 +0000] \"\" 400 0 \"-\" \"-\"", false, 0, ""},
  };
  for (const Case& c : cases) {
    AccessLine line;
    ASSERT_EQ(ParseAccessLine(c.line, line), c.read) << c.line;
    if (!c.read) continue;
    EXPECT_EQ(line.time, c.time) << c.line;
    EXPECT_EQ(line.target, c.target) << c.line;
  }
}

TEST(AccessLog, ReportsAreCountedPerReleaseFromPlainAndCompressedLogsInAnyOrder) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("access_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto line = [](const std::string& when, const std::string& target) {
    return "192.0.2.7 - - [" + when + " +0000] \"GET " + target + " HTTP/1.1\" 404 35 \"-\" \"Mozilla/4.0\"\n";
  };
  const std::string r = "/r/UpdaterReport?v=1&mode=";
  const std::string first = line("09/Dec/2026:10:00:00", r + "3&outcome=preloaded&stage=none&code=0&release=7&rollout=50&patch=2&patchbytes=100&whole=1&wholebytes=5000&ms=9") +
                            line("09/Dec/2026:10:01:00", r + "3&outcome=heldback&stage=none&code=0&release=7&rollout=50&ms=1") +
                            line("09/Dec/2026:10:02:00", "/r/ModelMD5.dll") +  // not a report
                            "this is no log line\n" +
                            line("09/Dec/2026:10:03:00", r + "1&outcome=failed&stage=download&code=1404&release=7&rollout=50&ms=4");
  const std::string second = line("09/Dec/2026:09:00:00", r + "1&outcome=installed&stage=none&code=0&release=7&rollout=20&deflated=3&deflatedbytes=700&ms=30") +
                             line("09/Dec/2026:09:30:00", r + "2&outcome=failed&stage=download&code=1404&release=7&ms=4") +
                             line("09/Dec/2026:09:31:00", r + "2&outcome=failed&stage=space&code=19&release=7&ms=4") +
                             line("09/Dec/2026:09:40:00", r + "3&outcome=current&stage=none&code=0&release=8&content=0a1b2c3d&ms=2") +
                             line("09/Dec/2026:09:41:00", r + "9&outcome=current") +  // unreadable
                             std::string(100000, 'x') + "\n" +                     // no log line, and long
                             line("09/Dec/2026:09:42:00", r + "3&outcome=busy&stage=none&code=0&ms=2");
  std::ofstream(dir / "access.log", std::ios::binary) << first;
  gzFile gz = gzopen((dir / "access.log.1.gz").c_str(), "wb");
  gzwrite(gz, second.data(), static_cast<unsigned>(second.size()));
  gzclose(gz);

  std::string texts[2];
  for (int order = 0; order < 2; ++order) {
    ReportTally tally;
    std::string error;
    const std::filesystem::path a = dir / "access.log", b = dir / "access.log.1.gz";
    ASSERT_TRUE(tally.AddFile((order ? b : a).string(), error)) << error;
    ASSERT_TRUE(tally.AddFile((order ? a : b).string(), error)) << error;
    EXPECT_FALSE(tally.AddFile((dir / "missing.log").string(), error));
    EXPECT_EQ(tally.files, 2u);
    EXPECT_EQ(tally.lines, 12u);
    EXPECT_EQ(tally.malformed, 2u);
    EXPECT_EQ(tally.reports, 9u);
    EXPECT_EQ(tally.unreadable, 1u);
    ASSERT_EQ(tally.releases.size(), 3u);
    const ReleaseTally& seven = tally.releases.at("release 7");
    EXPECT_EQ(seven.runs, 6u);
    EXPECT_EQ(seven.byEnd[static_cast<int>(RunEnd::Failed)], 3u);
    EXPECT_EQ(seven.byModeEnd[2][static_cast<int>(RunEnd::Failed)], 2u);
    EXPECT_EQ(seven.HighestStage(), 50);
    EXPECT_EQ(seven.StagedRuns(), 4u);
    EXPECT_EQ(seven.heldBackAt[50], 1u);
    EXPECT_EQ(seven.failures.at({static_cast<int>(RunStage::Download), 1404}), 2u);
    EXPECT_EQ(seven.patch.bytes + seven.deflated.bytes + seven.whole.bytes, 5800u);
    EXPECT_EQ(seven.first, 1796806800);  // 09:00 UTC, from the compressed log
    EXPECT_EQ(tally.releases.at("content 0a1b2c3d").runs, 1u);
    EXPECT_EQ(tally.releases.at("no release checked").byEnd[static_cast<int>(RunEnd::Busy)], 1u);
    texts[order] = ReportText(tally);
  }
  EXPECT_EQ(texts[0], texts[1]);
  for (const char* shown : {"release 7: 6 runs", "failed            1        2        0        3",
                            "by stage: 20 % offered 1, held back 0; 50 % offered 2, held back 1; the highest stage 50 %",
                            "download  code 1404 (HTTP 404)                2 runs", "release 8, content 0a1b2c3d: 1 run,"})
    EXPECT_NE(texts[0].find(shown), std::string::npos) << shown << " in\n" << texts[0];
  std::filesystem::remove_all(dir);
}

TEST(AccessLog, ManyReleasesAndTimesStayWithinTheirBounds) {
  ReportTally tally;
  // A forged flood: a thousand releases, failure codes and a year of minutes.
  for (int i = 0; i < 20000; ++i) {
    OutcomeReport r;
    r.mode = 1;
    r.end = RunEnd::Failed;
    r.release = i % 1000;
    r.FirstError(RunStage::Download, static_cast<uint32_t>(i));
    const int64_t time = 1796806800 + static_cast<int64_t>(i) * 1579;
    char when[64];
    const std::time_t t = static_cast<std::time_t>(time);
    std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S +0000", std::gmtime(&t));
    tally.AddLine(std::string("h - - [") + when + "] \"GET /UpdaterReport?" + r.Query() + " HTTP/1.1\" 404 0");
  }
  EXPECT_EQ(tally.reports, 20000u);
  EXPECT_EQ(tally.releases.size(), kMaxReleases + 1);
  const ReleaseTally& other = tally.releases.at("other releases");
  EXPECT_LE(other.failures.size(), kMaxFailureKinds);
  uint64_t failed = other.otherFailures;
  for (const auto& [kind, n] : other.failures) failed += n;
  EXPECT_EQ(failed, other.runs);  // none lost past the bound
  EXPECT_LE(other.slots.size(), kMaxTimeSlots);
  EXPECT_GT(other.slotSeconds, 60);
  uint64_t byEnd = 0, byMode = 0;
  for (const auto& [start, counts] : other.slots)
    for (int i = 0; i < kRunEnds + 3; ++i) (i < kModeCounts ? byEnd : byMode) += counts[i];
  EXPECT_EQ(byEnd, other.runs);
  EXPECT_EQ(byMode, other.runs);
}

TEST(AccessLog, ForgedReleasesThatComeFirstDoNotKeepARealOneOutOfTheTable) {
  ReportTally tally;
  auto add = [&](const std::string& content, int64_t release) {
    OutcomeReport r;
    r.mode = 3;
    r.end = RunEnd::Current;
    r.release = release;
    r.content = content;
    tally.AddLine("h - - [09/Dec/2026:10:00:00 +0000] \"GET /UpdaterReport?" + r.Query() + " HTTP/1.1\" 404 0");
  };
  char forged[16];
  for (int i = 0; i < 500; ++i) {  // a table's worth of forged labels, then more between the real runs
    std::snprintf(forged, sizeof forged, "%08x", i);
    add(forged, i);
    if (i >= 100) add("5c0e7a13", 44);
  }
  ASSERT_EQ(tally.releases.size(), kMaxReleases + 1);
  EXPECT_EQ(tally.releases.at("content 5c0e7a13").runs, 400u);
  EXPECT_EQ(tally.releases.at("other releases").runs + 400u + (kMaxReleases - 1), 900u);
}
