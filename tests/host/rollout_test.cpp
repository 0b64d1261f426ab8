// Staged rollouts and the administrator's policy: how buckets spread, what
// each mode is offered, and which registry values count.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "engine/release/Manifest.h"
#include "engine/release/Rollout.h"
#include "engine/run/Policy.h"
#include "engine/run/UpdateMode.h"

namespace {

Manifest Release(char digit, std::optional<int> percent = std::nullopt, int64_t number = -1) {
  Manifest m;
  for (int i = 0; i < kModuleCount; ++i) m.fingerprints[i] = std::string(31, digit) + static_cast<char>('a' + i % 6);
  m.rolloutPercent = percent;
  if (number >= 0) m.signedRelease = SignedRelease{number, 0, {}, {}, {}};
  return m;
}

std::vector<std::string> Identities(int n) {
  std::mt19937_64 random(20261209);
  std::vector<std::string> ids;
  for (int i = 0; i < n; ++i) {
    std::string id(kInstallationIdBytes, '\0');
    for (char& c : id) c = static_cast<char>(random());
    ids.push_back(id);
  }
  return ids;
}

}  // namespace

TEST(Rollout, BucketsSpreadEvenlyAndEachReleasePicksItsOwn) {
  const std::vector<std::string> ids = Identities(10000);
  const Manifest a = Release('1'), b = Release('2');
  std::array<int, 100> count{};
  int bothInFirstHalf = 0, sameBucket = 0;
  for (const std::string& id : ids) {
    const int ba = RolloutBucket(id, a), bb = RolloutBucket(id, b);
    ASSERT_GE(ba, 0);
    ASSERT_LT(ba, 100);
    count[ba] += 1;
    bothInFirstHalf += ba < 50 && bb < 50;
    sameBucket += ba == bb;
    // The stage and the number change with each step of a rollout; the bucket does not.
    ASSERT_EQ(RolloutBucket(id, Release('1', 50, 8)), ba);
  }
  // 100 a bucket expected; a bucket's count has a spread of about 10 (binomial):
  // four spreads either way would fail a fair hash once in some 30 000 runs.
  for (int n : count) {
    EXPECT_GE(n, 60);
    EXPECT_LE(n, 140);
  }
  // Independent releases: a quarter of the installations are in the first
  // half of both (spread about 43), one in a hundred in the same bucket (spread 10).
  EXPECT_NEAR(bothInFirstHalf, 2500, 175);
  EXPECT_NEAR(sameBucket, 100, 40);
}

TEST(Rollout, WhatEachModeIsOffered) {
  UpdatePolicy none, pinned, first, last;
  pinned.maxRelease = 7;
  first.rolloutOverride = 0;
  last.rolloutOverride = 100;
  struct Case {
    int32_t mode;
    std::optional<int> percent;
    int64_t number;
    int bucket;
    const UpdatePolicy* policy;
    bool offered;
  } cases[] = {
      {ModeOptional, std::nullopt, 8, 99, &none, true},  // no stage: everyone
      {ModeBackground, 100, 8, 99, &none, true},
      {ModeOptional, 50, 8, 49, &none, true},
      {ModeOptional, 50, 8, 50, &none, false},
      {ModeBackground, 50, 8, 50, &none, false},
      {ModeMandatory, 50, 8, 50, &none, true},           // the product insists
      {ModeBackground, 0, 8, 0, &none, false},           // halted
      {ModeMandatory, 0, 8, 0, &none, true},
      {ModeOptional, 1, 8, 99, &first, true},            // a test ring goes first
      {ModeOptional, 99, 8, 0, &last, false},            // a fleet goes last
      {ModeOptional, 100, 8, 0, &last, true},
      {ModeOptional, std::nullopt, 8, 0, &pinned, false},  // above MaxRelease, in every mode
      {ModeMandatory, std::nullopt, 8, 0, &pinned, false},
      {ModeBackground, std::nullopt, 7, 0, &pinned, true},
      {ModeOptional, std::nullopt, -1, 0, &pinned, true},  // an unsigned release has no number
  };
  for (const Case& c : cases) {
    const Offer offer = DecideOffer(c.mode, Release('1', c.percent, c.number), c.bucket, *c.policy);
    EXPECT_EQ(offer.offered, c.offered) << "mode " << c.mode << ", stage " << c.percent.value_or(-1) << ", release "
                                        << c.number << ", bucket " << c.bucket;
    // The window says what holds it back: the pin, or a halt.
    EXPECT_EQ(offer.pinnedAt, c.policy == &pinned && !c.offered ? 7 : -1);
    EXPECT_EQ(offer.Halted(), c.percent == 0 && c.mode != ModeMandatory);
  }
  // What the decision rests on: the stage (reported) and the bucket (logged only).
  const Offer staged = DecideOffer(ModeBackground, Release('1', 50, 8), 49, none);
  EXPECT_EQ(staged.bucket, 49);
  EXPECT_EQ(staged.stagePercent, 50);
  EXPECT_EQ(staged.release, 8);
  EXPECT_EQ(DecideOffer(ModeBackground, Release('1', std::nullopt, 8), 49, none).stagePercent, -1);
  EXPECT_EQ(DecideOffer(ModeBackground, Release('1', 99, 8), 0, last).bucket, 100);
  EXPECT_FALSE(DecideOffer(ModeBackground, Release('1', 99, 8), kNoBucket, none).offered);
  // Mode 1 whose start check could not decide: the user's run carries on past a stage, not past a halt or a pin.
  EXPECT_TRUE(DecideOffer(ModeOptional, Release('1', 10, 8), 50, none, true).offered);
  EXPECT_FALSE(DecideOffer(ModeOptional, Release('1', 0, 8), 50, none, true).offered);
  EXPECT_FALSE(DecideOffer(ModeOptional, Release('1', 10, 8), 0, pinned, true).offered);
}

TEST(Rollout, TheStageIsPartOfTheManifest) {
  const std::pair<const char*, std::optional<int>> stages[] = {
      {"", std::nullopt}, {"[Rollout]\r\nPercent=50\r\n", 50}, {"[rollout]\r\npercent = \"0\"\r\n", 0},
      {"[Rollout]\r\nPercent=100\r\n", 100}, {"[Rollout]\r\nPercent=101\r\n", 0}, {"[Rollout]\r\nPercent=half\r\n", 0},
      {"[Rollout]\r\nPercent=-5\r\n", 0},
  };
  for (const auto& [text, percent] : stages)
    EXPECT_EQ(Manifest::Parse("[ModuleVersion]\r\n" + std::string(text)).rolloutPercent, percent) << text;
  // Every stage of a release is the same release to the outcome reports; other modules are another.
  EXPECT_EQ(ReleaseContentId(Release('3', 25, 4)), ReleaseContentId(Release('3', 100, 5)));
  EXPECT_NE(ReleaseContentId(Release('3')), ReleaseContentId(Release('4')));
  EXPECT_EQ(ReleaseContentId(Release('3')).size(), 8u);
  const Manifest staged = Release('3', 25, 4);
  EXPECT_EQ(Manifest::Parse(staged.Text()).rolloutPercent, 25);
  EXPECT_LT(staged.Text().find("[Rollout]\r\nPercent=25\r\n"), staged.Text().find("[SignedRelease]"));
}

TEST(Policy, MachineValuesWinAndBadOnesAreIgnored) {
  auto dword = [](uint32_t n) { return PolicyValue{PolicyValue::Dword, n, {}}; };
  auto text = [](const std::string& s) { return PolicyValue{PolicyValue::String, 0, s}; };
  const std::string block = "http://updates.example/velnoria/";
  std::vector<std::string> notes;
  const UpdatePolicy p = ResolvePolicy(
      {{"UpdatesEnabled", dword(1)}, {"MaxRelease", dword(12)}, {"RolloutOverride", dword(101)}, {"ReportOutcomes", dword(0)}},
      {{"updatesenabled", dword(0)}, {"BackgroundEnabled", dword(0)}, {"RolloutOverride", dword(5)},
       {"ServerBase", text("https://mirror.corp.example/velnoria/")}},
      block, notes);
  EXPECT_TRUE(p.updatesEnabled);          // the machine's 1 over the user's 0
  EXPECT_FALSE(p.backgroundEnabled);      // the user's, where the machine says nothing
  EXPECT_EQ(p.maxRelease, 12);
  EXPECT_FALSE(p.rolloutOverride);        // the machine's 101 is out of range: ignored, not the user's
  EXPECT_EQ(p.serverBase, "https://mirror.corp.example/velnoria/");
  EXPECT_FALSE(p.reportOutcomes);
  EXPECT_EQ(notes.size(), 6u);
  const std::pair<PolicyValue, bool> bases[] = {
      {text("https://mirror.example/v"), false},          // does not end as the block's does
      {text("ftp://mirror.example/v/"), false},
      {text("https://mirror example/v/"), false},
      {text("https://m.example/" + std::string(260, 'v') + "/"), false},
      {dword(1), false},
      {text("http://10.0.0.5:8080/v/"), true},
  };
  for (const auto& [value, taken] : bases) {
    std::vector<std::string> ignored;
    EXPECT_EQ(ResolvePolicy({{"ServerBase", value}}, {}, block, ignored).serverBase.has_value(), taken) << value.text;
  }
  std::vector<std::string> wrongType;
  const UpdatePolicy q = ResolvePolicy({{"UpdatesEnabled", text("0")}, {"MaxRelease", PolicyValue{}}}, {}, block, wrongType);
  EXPECT_TRUE(q.updatesEnabled);
  EXPECT_FALSE(q.maxRelease);
  EXPECT_EQ(wrongType.size(), 2u);
}
