#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/release/ModuleDigest.h"

namespace fs = std::filesystem;

namespace {

// The fingerprint written out step by step, whole buffer in memory, with the
// signed 32-bit rules applied literally: the yardstick for the fast version.
std::string ReferenceDigest(const std::vector<uint8_t>& bytes, const std::string& key) {
  if (key.empty()) return {};
  const int32_t L = static_cast<int32_t>(bytes.size());
  const int32_t K = static_cast<int32_t>(key.size());
  uint8_t S[16] = {};
  auto keyAt = [&](int32_t index) { return static_cast<int32_t>(static_cast<signed char>(key[index])); };
  for (int32_t i = 0; i < L; ++i) {
    const int32_t c = bytes[i];
    const int32_t k = keyAt((c + 16) % K);
    const int32_t q = c % 16;
    const int32_t d = (S[q] + c + k + L) % 255;
    S[i % 16] = static_cast<uint8_t>(d);
    const int32_t e = (S[i % 16] + c + k + L) % 255;
    S[q] = static_cast<uint8_t>(e);
  }
  for (int32_t j = L; j >= 1; --j) {
    const int32_t c = bytes[j - 1];
    const int32_t k = keyAt((c + 17) % K);
    const int32_t p = j % 16;
    const int32_t q = (c + p) % 16;
    const int32_t d = (S[q] + c + k + L) % 255;
    S[p] = static_cast<uint8_t>(d);
    const int32_t e = (S[p] + c + k + L) % 255;
    S[q] = static_cast<uint8_t>(e);
  }
  char out[33];
  for (int i = 0; i < 16; ++i) std::snprintf(out + 2 * i, 3, "%02x", S[i]);
  return out;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

class DigestFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("digest_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path.string();
  }
  fs::path dir_;
};

}  // namespace

TEST(ModuleDigestVectors, WorkedByHand) {
  // One byte 'A' (65): key[5] '&' forward, key[6] 'r' backward; S[0]=104,
  // S[1]=208 then 180, S[2]=105.
  EXPECT_EQ(ModuleDigestOfBytes(reinterpret_cast<const uint8_t*>("A"), 1, kModuleDigestKey),
            "68b46900000000000000000000000000");
  // One byte 0: both stores of each step hit the same slot, the second wins.
  const uint8_t zero = 0;
  EXPECT_EQ(ModuleDigestOfBytes(&zero, 1, kModuleDigestKey), "70440000000000000000000000000000");
  EXPECT_EQ(ModuleDigestOfBytes(nullptr, 0, kModuleDigestKey), std::string(32, '0'));
  EXPECT_EQ(ModuleDigestOfBytes(nullptr, 0, ""), "");
}

TEST(ModuleDigestVectors, MatchesTheStepByStepDefinition) {
  struct Case {
    size_t size;
    uint32_t seed;
    std::string key;
  };
  const std::string negativeKey = "k\xe9y\xff!";  // characters above 0x7F count negative
  const std::vector<Case> cases = {
      {1, 1, kModuleDigestKey},    {2, 2, kModuleDigestKey},   {15, 3, kModuleDigestKey},
      {16, 4, kModuleDigestKey},   {17, 5, kModuleDigestKey},  {255, 6, kModuleDigestKey},
      {4099, 7, kModuleDigestKey}, {1 << 20, 8, kModuleDigestKey}, {(1 << 20) + 37, 9, kModuleDigestKey},
      {3 * (1 << 20) + 5, 10, kModuleDigestKey}, {1, 11, "x"}, {100, 12, "ab"},
      {3, 13, negativeKey},        {1000, 14, negativeKey},
  };
  for (const Case& c : cases) {
    const auto bytes = RandomBytes(c.size, c.seed);
    EXPECT_EQ(ModuleDigestOfBytes(bytes.data(), static_cast<int32_t>(bytes.size()), c.key),
              ReferenceDigest(bytes, c.key))
        << "size " << c.size << " key of " << c.key.size();
  }
}

TEST(ModuleDigestVectors, BytesInAnyPiecesGiveTheSameFingerprint) {
  // Pieces as a transfer delivers them: ragged, smaller and larger than the
  // digester's block, across its borders.
  const auto bytes = RandomBytes(3 * 65536 + 4099, 21);
  const std::string expected = ReferenceDigest(bytes, kModuleDigestKey);
  const std::vector<std::vector<size_t>> plans = {
      {1}, {15, 17}, {65535, 2}, {65536}, {65537, 100}, {8192}, {131072, 7}, {bytes.size()}};
  for (const auto& plan : plans) {
    ModuleDigester digester(kModuleDigestKey, static_cast<int32_t>(bytes.size()));
    size_t done = 0;
    for (size_t i = 0; done < bytes.size(); ++i) {
      const size_t n = std::min(plan[i % plan.size()], bytes.size() - done);
      digester.Add(bytes.data() + done, n);
      done += n;
    }
    EXPECT_EQ(digester.Finish(), expected) << "first piece " << plan[0];
  }
  // Too few or too many bytes for the length announced: no fingerprint.
  ModuleDigester shortOne(kModuleDigestKey, 100);
  shortOne.Add(bytes.data(), 99);
  EXPECT_EQ(shortOne.Finish(), "");
  ModuleDigester longOne(kModuleDigestKey, 100);
  longOne.Add(bytes.data(), 101);
  EXPECT_EQ(longOne.Finish(), "");
  // A key with characters above 0x7F needs both passes over the file.
  EXPECT_FALSE(ModuleDigester::Streams("k\xe9y", 10));
  EXPECT_TRUE(ModuleDigester::Streams(kModuleDigestKey, 10));
}

TEST(ModuleDigestVectors, NoGroupIsFFWithTheSystemKey) {
  for (uint32_t seed = 0; seed < 200; ++seed) {
    const auto bytes = RandomBytes(1 + seed * 7, seed);
    const std::string digest = ModuleDigestOfBytes(bytes.data(), static_cast<int32_t>(bytes.size()), kModuleDigestKey);
    for (int i = 0; i < 16; ++i) ASSERT_NE(digest.substr(2 * i, 2), "ff") << "seed " << seed;
  }
}

TEST_F(DigestFiles, FileEdgeCases) {
  EXPECT_EQ(ModuleDigest((dir_ / "absent.dll").string(), kModuleDigestKey), "");
  const std::string empty = Write("empty.dll", {});
  EXPECT_EQ(ModuleDigest(empty, kModuleDigestKey), std::string(32, '0'));
  EXPECT_EQ(ModuleDigest(empty, "another key"), std::string(32, '0'));
  EXPECT_EQ(ModuleDigest(empty, ""), "");
  // A folder exists but is no readable module.
  EXPECT_EQ(ModuleDigest(dir_.string(), kModuleDigestKey).size() % 32, 0u);
}

TEST_F(DigestFiles, ContentsAloneCount) {
  const auto bytes = RandomBytes(5000, 42);
  const std::string a = Write("a.dll", bytes);
  fs::create_directories(dir_ / "sub");
  const std::string b = Write("sub/other-name.exe", bytes);
  EXPECT_EQ(ModuleDigest(a, kModuleDigestKey), ModuleDigest(b, kModuleDigestKey));
  EXPECT_EQ(ModuleDigest(a, kModuleDigestKey), ReferenceDigest(bytes, kModuleDigestKey));
}

TEST_F(DigestFiles, StreamedLargeFileEqualsInMemory) {
  // Several read chunks and a ragged end: both passes cross chunk borders.
  const auto bytes = RandomBytes(9 * (1 << 20) + 12345, 77);
  const std::string path = Write("big.dll", bytes);
  EXPECT_EQ(ModuleDigest(path, kModuleDigestKey), ReferenceDigest(bytes, kModuleDigestKey));
}

TEST_F(DigestFiles, ShorterStreamUsesOnlyTheBytesRead) {
  // The length was taken as 2000 but only 1500 bytes can be read.
  const auto bytes = RandomBytes(1500, 5);
  const std::string path = Write("short.dll", bytes);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(ModuleDigestOfStream(f, 2000, kModuleDigestKey), ReferenceDigest(bytes, kModuleDigestKey));
  std::fclose(f);
}

TEST(ManifestValues, OnlyThirtyTwoHexDigitsAreAFingerprint) {
  const std::pair<const char*, bool> cases[] = {
      {"0123456789abcdef0123456789abcdef", true},
      {"0123456789ABCDEF0123456789ABCDEF", true},   // upper case is the same value
      {"0123456789abcdef0123456789abcde", false},   // 31 digits
      {"0123456789abcdef0123456789abcdef0", false}, // 33
      {"0123456789abcdef0123456789abcdeg", false},
      {"", false},
      {"<html><body>Welcome to the hotel", false},  // what a captive portal answers
      {" 0123456789abcdef0123456789abcde", false},
  };
  for (const auto& [text, ok] : cases) EXPECT_EQ(IsWellFormedDigest(text), ok) << text;
  EXPECT_EQ(LowerCaseDigest("0123456789ABCDEF0123456789ABCDEF"), "0123456789abcdef0123456789abcdef");
}
