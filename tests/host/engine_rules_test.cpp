#include <gtest/gtest.h>

#include "engine/install/InstallPaths.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/release/SignedRelease.h"
#include "engine/run/RunAccounting.h"

TEST(RunAccounting, ResultsThatCountAsSuccess) {
  const std::pair<unsigned, bool> cases[] = {{0, true},     {1, true},    {2, false},    {3, false},
                                             {8, false},    {900, false}, {1404, false}, {0xFFFFFFFFu, false}};
  for (const auto& [result, success] : cases) EXPECT_EQ(CountsAsSuccess(result), success) << result;
}

TEST(RunAccounting, DecisionOnEachResult) {
  struct Case {
    int succeeded, failed, tasks, runs;
    RunOutcome outcome;
  };
  const Case cases[] = {
      {1, 0, 3, 1, RunOutcome::Pending},    // three tasks: 0, 1, 0 decide on the third only
      {2, 0, 3, 1, RunOutcome::Pending},
      {3, 0, 3, 1, RunOutcome::Succeeded},
      {2, 1, 3, 1, RunOutcome::Retry},      // one failure among three: a retry
      {2, 1, 3, 3, RunOutcome::Retry},      // the third retry is still allowed
      {2, 1, 3, 4, RunOutcome::Failed},     // the fourth run is the last
      {0, 1, 1, 5, RunOutcome::Failed},     // a fresh start after failure is final at once
      {0, 0, 0, 1, RunOutcome::Succeeded},  // nothing differs: success with no tasks
      {0, 1, 0, 1, RunOutcome::Retry},      // manifest not fetched: a failed run
      {0, 1, 0, 4, RunOutcome::Failed},
      {0, 1, 2, 1, RunOutcome::Pending},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DecideRun(c.succeeded, c.failed, c.tasks, c.runs), c.outcome)
        << c.succeeded << "/" << c.failed << " of " << c.tasks << ", run " << c.runs;
}

TEST(RunAccounting, OneStartGivesAtMostFourRuns) {
  int runs = 0;
  RunOutcome outcome = RunOutcome::Retry;
  while (outcome == RunOutcome::Retry) {
    ++runs;
    outcome = DecideRun(0, 1, 1, runs);
  }
  EXPECT_EQ(runs, 4);
  EXPECT_EQ(outcome, RunOutcome::Failed);
}

TEST(InstallPaths, TargetsByMode) {
  const std::wstring dir = L"C:\\Velnoria\\";
  EXPECT_EQ(DownloadTargetPath(dir, "Velkor.dll", 1), L"C:\\Velnoria\\UpgradeBackup_P\\Velkor.dll.tmp");
  EXPECT_EQ(DownloadTargetPath(dir, "Velnoria.exe", 2), L"C:\\Velnoria\\UpgradeBackup_P\\Velnoria.exe.tmp");
  EXPECT_EQ(DownloadTargetPath(dir, "Velnoria.exe", 3), L"C:\\Velnoria\\UpgradeBackup\\Velnoria.exe");
  EXPECT_EQ(DownloadTargetPath(dir, "a.dll", 7), L"C:\\Velnoria\\UpgradeBackup_P\\a.dll.tmp");
}

TEST(InstallPaths, TrailingSeparators) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"C:\\A\\B\\", L"C:\\A\\B"}, {L"C:\\A\\B\\\\\\", L"C:\\A\\B"}, {L"a/b//", L"a/b"},
      {L"a/b\\", L"a/b"},           {L"a\\b/", L"a\\b"},              {L"\\\\", L""},
      {L"", L""},                   {L"C:\\A", L"C:\\A"},
  };
  for (const auto& [path, trimmed] : cases) EXPECT_EQ(TrimTrailingSeparators(path), trimmed);
}

TEST(InstallPaths, OnlyPathsInsideTheInstallFolderAreDeletable) {
  const std::wstring dir = L"C:\\Velnoria\\";
  const std::pair<std::wstring, bool> cases[] = {
      {L"C:\\Velnoria\\UpgradeBackup_P\\", true},
      {L"C:\\Velnoria\\UpgradeBackup_P\\\\", true},
      {L"c:\\velnoria\\Velkor.dll.del", true},
      {L"C:/Velnoria/Velkor.dll.del", true},
      {L"C:\\Velnoria\\", false},  // the install folder itself
      {L"C:\\Velnoria", false},
      {L"C:\\Velnoria\\\\", false},
      {L"", false},
      {L"\\", false},
      {L"C:\\", false},
      {L"C:\\Other\\x.dll", false},
      {L"C:\\VelnoriaOther\\x.dll", false},
      {L"C:\\Velnoria\\..\\Windows", false},
      {L"C:\\Velnoria\\a\\..\\..\\b", false},
      {L"C:\\Velnoria\\.\\", false},
      {L"C:\\Velnoria\\a\\\\b", false},
      {L"C:\\Velnoria\\\u8F6F\u4EF6\\\u00DC.dll", true},  // names in any script below it
      {L"C:\\VELNORIA\\\u00DC.dll", true},
  };
  for (const auto& [path, deletable] : cases) EXPECT_EQ(IsDeletablePath(path, dir), deletable);
  EXPECT_FALSE(IsDeletablePath(L"C:\\Velnoria\\x", L""));
  EXPECT_FALSE(IsDeletablePath(L"x\\y", L"x"));
}

TEST(InstallPaths, AFolderNamedInAnyScriptIsComparedAsItIs) {
  const std::wstring dir = L"C:\\\u00DCn\u00EFc\u00F8d\u00E9-\u8F6F\u4EF6-\u00DF\\";
  EXPECT_EQ(StagedPath(dir, "Velkor.dll"), dir + L"UpgradeBackup_P\\Velkor.dll.tmp");
  EXPECT_TRUE(IsDeletablePath(dir + L"UpgradeBackup_P\\", dir));
  // Only ASCII letters are folded; beyond ASCII the guard errs on keeping.
  EXPECT_FALSE(IsDeletablePath(L"C:\\\u00FCn\u00EFc\u00F8d\u00E9-\u8F6F\u4EF6-\u00DF\\x", dir));
  EXPECT_FALSE(IsDeletablePath(L"C:\\\u00DCn\u00EFc\u00F8d\u00E9-\u8F6F\u4EF7-\u00DF\\x", dir));
}

TEST(ReleaseTrust, AReleaseIsJudgedAgainstTheNewestTrustedBefore) {
  const int64_t now = 1800000000;
  const auto offered = [](int64_t number, int64_t expires) {
    SignedRelease r;
    r.number = number;
    r.expires = expires;
    return r;
  };
  const KeptManifest kept{5, "five"};
  struct Case {
    const char* what;
    int64_t number, expires;
    std::string bytes;
    bool hasKept;
    int64_t recorded;
    TrustVerdict verdict;
  } cases[] = {
      {"nothing trusted yet: the first one that verifies", 1, 0, "one", false, -1, TrustVerdict::Keep},
      {"newer than the kept one", 6, 0, "six", true, -1, TrustVerdict::Keep},
      {"the kept one again", 5, 0, "five", true, -1, TrustVerdict::Same},
      {"older than the kept one", 4, 0, "four", true, -1, TrustVerdict::Older},
      {"the kept number, other contents", 5, 0, "FIVE", true, -1, TrustVerdict::SameNumberOtherBytes},
      {"no kept one, older than the recorded number", 3, 0, "three", false, 4, TrustVerdict::Older},
      {"no kept one, the recorded number", 4, 0, "four", false, 4, TrustVerdict::Keep},
      {"the kept one rules over the record", 5, 0, "five", true, 9, TrustVerdict::Same},
      {"expired a day and a second ago", 6, now - kClockSkewSeconds - 1, "six", true, -1, TrustVerdict::Expired},
      {"expired within the clock skew", 6, now - kClockSkewSeconds, "six", true, -1, TrustVerdict::Keep},
      {"expiring later", 6, now + 1000, "six", true, -1, TrustVerdict::Keep},
      {"an expired copy of the kept one", 5, now - 2 * kClockSkewSeconds, "five", true, -1, TrustVerdict::Expired},
  };
  for (const Case& c : cases)
    EXPECT_EQ(JudgeRelease(offered(c.number, c.expires), c.bytes, c.hasKept ? std::optional<KeptManifest>(kept) : std::nullopt,
                           c.recorded, now),
              c.verdict)
        << c.what;
}
