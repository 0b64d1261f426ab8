#include <gtest/gtest.h>

#include "engine/install/Probation.h"
#include "engine/release/Manifest.h"

TEST(Probation, OnlyAnEndWithoutAnySignOfHealthAndAnotherExitCodeFails) {
  struct Case {
    const char* what;
    ProbationEvents events;
    bool failed;
  };
  const Case cases[] = {
      {"an access violation at start", {false, false, true, 0xC0000005u, false}, true},
      {"exit 3 after a second", {false, false, true, 3, false}, true},
      {"exit code -1", {false, false, true, 0xFFFFFFFFu, false}, true},
      {"closed by a person: exit 0", {false, false, true, 0, false}, false},
      {"health signalled at 2 s", {true, false, false, 0, false}, false},
      {"health signalled, then a crash", {true, false, true, 0xC0000005u, false}, false},
      {"the updater-exit event set", {false, true, false, 0, false}, false},
      {"still running when the time is up", {false, false, false, 0, true}, false},
      {"nothing seen (the wait failed)", {}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(ProductFailed(c.events), c.failed) << c.what;
}

TEST(Probation, RecordsReadBackWholeOrNotAtAll) {
  ProbationRecord record;
  record.content = "0a1b2c3d";
  record.release = 7;
  record.previous = {{"Velkor.dll", std::string(32, 'a')}, {"Velnoria.exe", ""}};
  for (const bool failed : {false, true}) {
    record.failed = failed;
    record.exitCode = failed ? 0xC0000005u : 0;
    record.seconds = failed ? 2 : 0;
    const std::optional<ProbationRecord> back = ProbationRecord::Parse(record.Text());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Text(), record.Text());
    EXPECT_EQ(std::tie(back->failed, back->content, back->release, back->exitCode, back->seconds, back->previous),
              std::tie(record.failed, record.content, record.release, record.exitCode, record.seconds, record.previous));
  }
  const std::string head = "[Probation]\r\nState=watching\r\nContent=0a1b2c3d\r\n";
  for (const std::string& bad : std::initializer_list<std::string>{"", head, "[Probation]\r\nState=done\r\n[Previous]\r\n",
                                 head + "[Previous]\r\nVelkor.dll=" + std::string(31, 'a') + "\r\n",
                                 head + "[Previous]\r\n..\\Velkor.dll=new\r\n",
                                 head + "[Previous]\r\nVelkor.dll=new\r\nvelkor.dll=new\r\n"})
    EXPECT_FALSE(ProbationRecord::Parse(bad)) << bad;

  const RevertedRelease reverted{"0a1b2c3d", -1, 3, 1};
  const RevertedRelease again = RevertedRelease::Parse(reverted.Text());
  EXPECT_EQ(std::tie(again.content, again.release, again.exitCode, again.seconds),
            std::tie(reverted.content, reverted.release, reverted.exitCode, reverted.seconds));
  EXPECT_TRUE(RevertedRelease::Parse("").content.empty());
}

TEST(Probation, ASignedManifestSetsItsTime) {
  const std::string signedSection = SignedSectionText(SignedRelease{4, 0, "", {}, std::nullopt});
  const std::pair<std::string, int> cases[] = {
      {"[Release]\r\nProbation=30\r\n" + signedSection, 30},
      {"[Release]\r\nProbation=0\r\n" + signedSection, 0},
      {"[Release]\r\nProbation=600\r\n" + signedSection, 600},
      {"[Release]\r\nProbation=601\r\n" + signedSection, kDefaultProbationSeconds},
      {"[Release]\r\nProbation=-5\r\n" + signedSection, kDefaultProbationSeconds},
      {signedSection, kDefaultProbationSeconds},
      {"[Release]\r\nProbation=5\r\n", kDefaultProbationSeconds},  // unsigned
  };
  for (const auto& [text, seconds] : cases) {
    const Manifest manifest = Manifest::Parse(text);
    EXPECT_EQ(manifest.ProbationSeconds(), seconds) << text;
    EXPECT_EQ(Manifest::Parse(manifest.Text()).ProbationSeconds(), seconds) << text;
  }
}
