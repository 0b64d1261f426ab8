#include <gtest/gtest.h>

#include "fetchkit/TransferRules.h"

using namespace fetchkit;

TEST(ContentRange, Parsing) {
  struct Case {
    const char* text;
    bool valid;
    int64_t first, last, total;
  };
  const Case cases[] = {
      {"bytes 0-99/100", true, 0, 99, 100},
      {"bytes 100-199/200", true, 100, 199, 200},
      {"  bytes 5-9/*", true, 5, 9, -1},
      {"bytes */1234", true, -1, -1, 1234},
      {"bytes 10-5/100", false, 0, 0, 0},   // last before first
      {"bytes 0-100/100", false, 0, 0, 0},  // last past the end
      {"bytes */*", false, 0, 0, 0},
      {"items 0-1/2", false, 0, 0, 0},
      {"bytes 0-1/2 extra", false, 0, 0, 0},
      {"bytes -1/2", false, 0, 0, 0},
      {"", false, 0, 0, 0},
      {"bytes 0-99999999999999999999999/1", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const auto range = ParseContentRange(c.text);
    ASSERT_EQ(range.has_value(), c.valid) << c.text;
    if (!c.valid) continue;
    EXPECT_EQ(range->first, c.first) << c.text;
    EXPECT_EQ(range->last, c.last) << c.text;
    EXPECT_EQ(range->total, c.total) << c.text;
  }
}

TEST(ResponsePlanning, WhatEachAnswerMeansForTheLocalFile) {
  auto range = [](int64_t first, int64_t last, int64_t total) { return ContentRange{first, last, total}; };
  struct Case {
    const char* name;
    ResponseFacts facts;
    ResponsePlan plan;
  };
  const Case cases[] = {
      {"fresh 200", {200, 0, false, {}, false}, ResponsePlan::WriteFromStart},
      {"range ignored: 200", {200, 500, true, {}, false}, ResponsePlan::WriteFromStart},
      {"matching 206", {206, 500, true, range(500, 999, 1000), false}, ResponsePlan::Append},
      {"206 from elsewhere", {206, 500, true, range(400, 999, 1000), false}, ResponsePlan::RequestAgain},
      {"206 short of the end", {206, 500, true, range(500, 800, 1000), false}, ResponsePlan::RequestAgain},
      {"206 without total", {206, 500, true, range(500, 999, -1), false}, ResponsePlan::RequestAgain},
      {"206 without header", {206, 500, true, {}, false}, ResponsePlan::RequestAgain},
      {"206 never asked for", {206, 0, false, range(0, 9, 10), false}, ResponsePlan::RequestAgain},
      {"416 whole already", {416, 1000, true, range(-1, -1, 1000), false}, ResponsePlan::AlreadyComplete},
      {"416 local too big", {416, 1200, true, range(-1, -1, 1000), false}, ResponsePlan::RequestAgain},
      {"416 without header", {416, 1000, true, {}, false}, ResponsePlan::RequestAgain},
      {"416 never asked for", {416, 0, false, range(-1, -1, 0), false}, ResponsePlan::HttpError},
      {"404", {404, 0, false, {}, false}, ResponsePlan::HttpError},
      {"404 on resume", {404, 10, true, {}, false}, ResponsePlan::HttpError},
      {"500", {500, 0, false, {}, false}, ResponsePlan::HttpError},
      {"204", {204, 0, false, {}, false}, ResponsePlan::HttpError},
      {"302 with location", {302, 0, false, {}, true}, ResponsePlan::Redirect},
      {"307 with location", {307, 0, false, {}, true}, ResponsePlan::Redirect},
      {"301 without location", {301, 0, false, {}, false}, ResponsePlan::HttpError},
  };
  for (const Case& c : cases) EXPECT_EQ(PlanResponse(c.facts), c.plan) << c.name;
}

TEST(ProgressThrottle, BothTheBytesAndTheTimeMustHavePassed) {
  ProgressThrottle t(64 * 1024, 50);
  EXPECT_TRUE(t.ShouldReport(0, 1000));  // the first report always goes out
  t.Reported(0, 1000);
  EXPECT_FALSE(t.ShouldReport(64 * 1024, 1010));   // enough bytes, too soon
  EXPECT_FALSE(t.ShouldReport(1000, 1100));        // late enough, too few bytes
  EXPECT_TRUE(t.ShouldReport(64 * 1024, 1050));
  t.Reported(64 * 1024, 1050);
  EXPECT_FALSE(t.ShouldReport(100 * 1024, 2000));
  // The tick counter wraps after 49.7 days.
  ProgressThrottle w(1, 50);
  w.Reported(0, 0xFFFFFFF0u);
  EXPECT_TRUE(w.ShouldReport(10, 0x30));
}

TEST(Redirects, LocationsResolveAgainstTheRequest) {
  const std::string base = "http://127.0.0.1:8080/up/files/a.dll?x=1";
  const std::pair<const char*, const char*> cases[] = {
      {"http://other:9/b.dll", "http://other:9/b.dll"},
      {"https://secure/b", "https://secure/b"},
      {"/root.dll", "http://127.0.0.1:8080/root.dll"},
      {"b.dll", "http://127.0.0.1:8080/up/files/b.dll"},
      {"../c.dll", "http://127.0.0.1:8080/up/files/../c.dll"},
      {"//cdn.example/d.dll", "http://cdn.example/d.dll"},
      {"e.dll?q=a://b", "http://127.0.0.1:8080/up/files/e.dll?q=a://b"},
  };
  for (const auto& [location, expected] : cases) EXPECT_EQ(ResolveRedirect(base, location), expected) << location;
  EXPECT_EQ(ResolveRedirect("http://host", "x"), "http://host/x");
}

TEST(Redirects, OnlyHttpsToPlainHttpIsADowngrade) {
  const struct {
    const char *from, *to;
    bool downgrade;
  } cases[] = {
      {"https://a/x", "http://a/x", true},     {"HTTPS://a/x", "http://b/y", true},
      {"https://a/x", "ftp://a/x", true},      {"https://a/x", "https://b/x", false},
      {"http://a/x", "http://b/x", false},     {"http://a/x", "https://b/x", false},
  };
  for (const auto& c : cases) EXPECT_EQ(fetchkit::IsDowngrade(c.from, c.to), c.downgrade) << c.from << " -> " << c.to;
}

TEST(Resume, OnlyAStrongValidatorOrADateMayContinueAFile) {
  EXPECT_EQ(fetchkit::RangeValidator("\"abc\"", "Tue, 01 Dec 2026 10:00:00 GMT"), "\"abc\"");
  EXPECT_EQ(fetchkit::RangeValidator("W/\"abc\"", "Tue, 01 Dec 2026 10:00:00 GMT"), "Tue, 01 Dec 2026 10:00:00 GMT");
  EXPECT_EQ(fetchkit::RangeValidator("W/\"abc\"", ""), "");
  EXPECT_EQ(fetchkit::RangeValidator("", ""), "");
}

TEST(StallGuard, ADripIsCutOffAfterOneWindowOfTooFewBytes) {
  struct Step {
    uint64_t received;
    uint32_t now;
    bool stalled;
  };
  const Step steps[] = {
      {100, 1000, false},        // inside the first window: never judged
      {20000, 20000, false},     // 20000 bytes by the end of the window: real progress
      {20001, 26000, false},     // the window ran out with enough: a new one starts
      {20500, 40000, false},
      {21000, 51001, true},      // a whole window with 999 bytes: stalled
  };
  fetchkit::StallGuard guard(25000, 16 * 1024, 0, 1000);
  for (const Step& s : steps) EXPECT_EQ(guard.Stalled(s.received, s.now), s.stalled) << s.now;
  // The tick counter wraps after 49.7 days.
  fetchkit::StallGuard wrapped(25000, 16 * 1024, 0, 0xFFFFF000u);
  EXPECT_FALSE(wrapped.Stalled(10, 0x1000));
  EXPECT_TRUE(wrapped.Stalled(10, 25000));
}

TEST(ReadSize, GrowsOnlyWhileFullReadsComeFastAndShrinksWhenOneIsSlow) {
  struct Case {
    uint32_t current, got, took, next;
  };
  const Case cases[] = {
      {8192, 8192, 10, 16384},          // full and fast: twice the size
      {8192, 4000, 10, 8192},           // not full: the link is not known to keep up
      {8192, 8192, 120, 8192},          // full but not fast: stays
      {65536, 65536, 250, 32768},       // slow: half
      {8192, 8192, 250, 8192},          // never below the floor
      {524288, 524288, 5, 524288},      // never above the ceiling
      {393216, 393216, 5, 524288},      // doubling clamps to the ceiling
  };
  for (const Case& c : cases)
    EXPECT_EQ(fetchkit::NextReadSize(c.current, c.got, c.took, 8192, 524288), c.next)
        << c.current << " " << c.got << " " << c.took;
}
