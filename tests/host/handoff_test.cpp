#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/HandoffBlock.h"

namespace {

std::vector<uint8_t> Block(int32_t mode, uint32_t window, const std::string& base, size_t size = 0) {
  std::vector<uint8_t> b(size ? size : 8 + base.size() + 1, 0);
  std::memcpy(b.data(), &mode, 4);
  std::memcpy(b.data() + 4, &window, 4);
  std::memcpy(b.data() + 8, base.data(), std::min(base.size(), b.size() - 8));
  return b;
}

}  // namespace

TEST(Handoff, ReadsTheThreeFields) {
  const auto b = Block(2, 0x00012345, "http://127.0.0.1:8080/update/", 4096);
  HandoffValues v;
  ASSERT_TRUE(ParseHandoff(b.data(), b.size(), v));
  EXPECT_EQ(v.mode, 2);
  EXPECT_EQ(v.productWindow, 0x00012345u);
  EXPECT_STREQ(v.serverBase, "http://127.0.0.1:8080/update/");
}

TEST(Handoff, ServerBaseLimits) {
  struct Case {
    std::string base;
    size_t size;  // 0: exactly the base and its terminator
    bool accepted;
  };
  const std::string b259(259, 'h'), b260(260, 'h');
  const Case cases[] = {
      {b259, 0, true},            // the longest base, terminator at the last byte
      {b259, 4096, true},
      {"", 0, true},              // empty base: URLs are bare file names
      {b260, 4096, false},        // not terminated within 260 bytes
      {b260, 8 + 260, false},     // not terminated within the block either
      {"http://x/", 8 + 9, false},  // the block ends before the terminator
  };
  for (const Case& c : cases) {
    const auto block = Block(1, 7, c.base, c.size);
    HandoffValues v;
    std::memset(v.serverBase, 'Z', sizeof v.serverBase);
    EXPECT_EQ(ParseHandoff(block.data(), block.size(), v), c.accepted) << c.base.size() << "/" << c.size;
    if (c.accepted) {
      EXPECT_EQ(std::string(v.serverBase), c.base);
    }
  }
}

TEST(Handoff, TooSmallBlocksAreRefused) {
  const auto full = Block(1, 1, "");
  HandoffValues v;
  for (size_t size = 0; size <= 8; ++size) EXPECT_FALSE(ParseHandoff(full.data(), size, v)) << size;
  EXPECT_TRUE(ParseHandoff(full.data(), 9, v));
  EXPECT_FALSE(ParseHandoff(nullptr, 100, v));
}

TEST(Handoff, ModeAndHandleAreTakenAsTheyStand) {
  for (int32_t mode : {0, 3, -1, 99}) {
    const auto b = Block(mode, 0xFFFFFFFFu, "s");
    HandoffValues v;
    ASSERT_TRUE(ParseHandoff(b.data(), b.size(), v));
    EXPECT_EQ(v.mode, mode);
    EXPECT_EQ(v.productWindow, 0xFFFFFFFFu);
  }
}
