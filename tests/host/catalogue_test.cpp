#include <gtest/gtest.h>

#include <set>

#include "engine/release/ModuleCatalogue.h"

TEST(ModuleCatalogue, RowsInWalkingOrder) {
  const char* expected[kModuleCount][3] = {
      {"Velkor", ".dll", "Velkor.dll"},     {"Drimsa", ".dll", "Drimsa.dll"},   {"Tobrin", ".dll", "Tobrin.dll"},
      {"Pravik", ".exe", "Pravik.exe"},     {"Mornel", ".dll", "Mornel.dll"},   {"Quintar", ".dll", "Quintar.dll"},
      {"Brellow", ".dll", "Brellow.dll"},   {"KelmoTop", ".dll", "KelmoTop.dll"}, {"Lumsk", ".dll", "Lumsk.dll"},
      {"Saffen", ".exe", "Velnoria.exe"},   {"Fetchkit", ".dll", "Fetchkit.dll"}, {"Wendra", ".dll", "Wendra.dll"},
      {"Tamrik", ".dll", "Tamrik.dll"},     {"Corvish", ".dll", "Corvish.dll"}, {"Nubrel", ".exe", "Nubrel.exe"},
      {"skve", ".exe", "skve.exe"},         {"Zibrun", ".exe", "Zibrun.exe"},
  };
  const uint32_t ids[kModuleCount] = {0x468, 0x466, 0x46B, 0x467, 0x469, 0x46A, 0x46C, 0x46D, 0x46E,
                                      0x471, 0x470, 0x472, 0x473, 0x474, 0x475, 0x477, 0x476};
  for (int i = 0; i < kModuleCount; ++i) {
    const ModuleEntry& row = kModuleCatalogue[i];
    EXPECT_STREQ(row.baseName, expected[i][0]);
    EXPECT_STREQ(row.extension, expected[i][1]);
    EXPECT_EQ(row.LocalName(), expected[i][2]);
    EXPECT_EQ(row.RemoteName(), std::string(expected[i][0]) + expected[i][1]);
    EXPECT_EQ(row.messageId, ids[i]);
  }
}

TEST(ModuleCatalogue, MessageIdsCoverTheRangeButOne) {
  std::set<uint32_t> seen;
  for (const ModuleEntry& row : kModuleCatalogue) seen.insert(row.messageId);
  EXPECT_EQ(seen.size(), 17u);
  for (uint32_t id = 0x466; id <= 0x477; ++id) EXPECT_EQ(seen.count(id), id == 0x46F ? 0u : 1u) << std::hex << id;
  EXPECT_EQ(CatalogueIndexOfMessage(0x46F), -1);
  EXPECT_EQ(CatalogueIndexOfMessage(0x464), -1);
  EXPECT_EQ(CatalogueIndexOfMessage(0x471), 9);
}
