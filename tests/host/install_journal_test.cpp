#include <gtest/gtest.h>

#include <string>

#include "engine/install/InstallJournal.h"
#include "engine/install/InstallPaths.h"

namespace {

InstallJournal Sample() {
  InstallJournal j;
  j.modules.push_back({"Velkor.dll", true, true, std::string(32, 'a'), std::string(64, 'b'), 123});
  j.modules.push_back({"Velnoria.exe", false, false, std::string(32, 'c'), "", -1});
  return j;
}

}  // namespace

TEST(InstallJournal, WhatIsWrittenIsReadBack) {
  for (const bool allIn : {false, true}) {
    InstallJournal j = Sample();
    j.allIn = allIn;
    const std::optional<InstallJournal> back = ParseJournal(RenderJournal(j));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->allIn, allIn);
    ASSERT_EQ(back->modules.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      const JournalModule &a = j.modules[i], &b = back->modules[i];
      EXPECT_EQ(std::tie(a.name, a.in, a.hadOld, a.digest, a.sha256, a.size),
                std::tie(b.name, b.in, b.hadOld, b.digest, b.sha256, b.size));
    }
  }
  EXPECT_TRUE(ParseJournal(RenderJournal(InstallJournal{})));  // an installation of nothing
}

TEST(InstallJournal, AnythingButAWholeJournalIsNone) {
  const std::string whole = RenderJournal(Sample());
  // Every cut before the closing word is refused.
  for (size_t n = 0; n + 2 < whole.size(); ++n) EXPECT_FALSE(ParseJournal(whole.substr(0, n))) << n;
  const std::string line = "module in 1 " + std::string(32, 'a') + " - 5 ";
  const std::string head = "VelnoriaInstallJournal 1\r\nphase swapping\r\n";
  const struct {
    const char* what;
    std::string text;
  } bad[] = {
      {"another version", "VelnoriaInstallJournal 2\r\nphase in\r\nend\r\n"},
      {"another file", "[SUpgrade]\r\nKey=1\r\n"},
      {"an unknown phase", "VelnoriaInstallJournal 1\r\nphase done\r\nend\r\n"},
      {"a path in a name", head + line + "..\\Velkor.dll\r\nend\r\n"},
      {"a folder in a name", head + line + "sub/Velkor.dll\r\nend\r\n"},
      {"a name twice", head + line + "Velkor.dll\r\n" + line + "Velkor.dll\r\nend\r\n"},
      {"an unknown state", head + "module half 1 " + std::string(32, 'a') + " - 5 Velkor.dll\r\nend\r\n"},
      {"a short digest", head + "module in 1 " + std::string(31, 'a') + " - 5 Velkor.dll\r\nend\r\n"},
      {"upper-case digits", head + "module in 1 " + std::string(32, 'A') + " - 5 Velkor.dll\r\nend\r\n"},
      {"a size below -1", head + line.substr(0, line.size() - 2) + "-2 Velkor.dll\r\nend\r\n"},
      {"a word too many", head + line + "Velkor.dll extra\r\nend\r\n"},
      {"lines after the end", head + "end\r\nmodule\r\n"},
      {"bytes after the end", head + "end x\r\n"},
      {"a size with letters", head + line.substr(0, line.size() - 2) + "5x Velkor.dll\r\nend\r\n"},
      {"a size of 19 digits", head + line.substr(0, line.size() - 2) + std::string(19, '9') + " Velkor.dll\r\nend\r\n"},
      {"a word missing", head + "module in 1 " + std::string(32, 'a') + " - Velkor.dll\r\nend\r\n"},
      {"a version with letters", "VelnoriaInstallJournal 1a\r\nphase in\r\nend\r\n"},
      {"a blank line among the modules", head + "\r\nend\r\n"},
  };
  for (const auto& b : bad) EXPECT_FALSE(ParseJournal(b.text)) << b.what;
  // Blanks of any kind between the words, and lines that end with LF alone, read the same.
  const auto loose = ParseJournal("VelnoriaInstallJournal\t1\nphase  in\nmodule in 0 " + std::string(32, 'a') +
                                  "\t-  -1 Velkor.dll\nend");
  ASSERT_TRUE(loose);
  EXPECT_TRUE(loose->allIn);
  ASSERT_EQ(loose->modules.size(), 1u);
  EXPECT_EQ(loose->modules[0].size, -1);
}

TEST(InstallPaths, TheLongestPathOfARun) {
  // An old version kept in the staging folder is the longest: the folder and
  // "UpgradeBackup_P\previous\" and a 12-character module name.
  for (const int mode : {1, 2, 3}) {
    EXPECT_EQ(LongestRunPath(L"C:\\P\\", mode), 5u + 37u) << mode;
    EXPECT_EQ(LongestRunPath(std::wstring(222, L'x'), mode), kMaxPathLength) << mode;
  }
}
