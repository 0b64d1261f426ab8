#include <gtest/gtest.h>

#include <random>
#include <string>

#include "DeltaMaker.h"
#include "engine/transfer/DeltaPatch.h"

namespace {

std::string Random(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

PatchResult Apply(const std::string& old, const std::string& patch, std::string& out, int64_t max = 1 << 26) {
  out.clear();
  return ApplyPatch(reinterpret_cast<const uint8_t*>(old.data()), old.size(),
                    reinterpret_cast<const uint8_t*>(patch.data()), patch.size(), max, [&](const uint8_t* b, size_t n) {
                      out.append(reinterpret_cast<const char*>(b), n);
                      return out.size() <= static_cast<size_t>(max);
                    });
}

// A file like a program: a base, with a stretch moved, some bytes changed and some inserted.
std::pair<std::string, std::string> Versions(unsigned seed) {
  const std::string base = Random(200000, seed);
  std::string fresh = base.substr(0, 50000) + Random(3000, seed + 1) + base.substr(60000, 90000) + base.substr(50000, 10000) +
                      base.substr(150000);
  std::mt19937 rng(seed + 2);
  for (int i = 0; i < 500; ++i) fresh[rng() % fresh.size()] ^= static_cast<char>(1 + rng() % 255);
  return {base, fresh};
}

}  // namespace

TEST(DeltaPatch, EveryPairComesBackByteForByte) {
  const auto [old, fresh] = Versions(7);
  const std::pair<std::string, std::string> pairs[] = {
      {old, fresh},
      {old, old},
      {"", fresh.substr(0, 5000)},
      {old.substr(0, 5000), ""},
      {"", ""},
      {"a", "b"},
      {std::string(100000, '\0'), std::string(100000, '\0') + "x"},
      {Random(1 << 16, 1), Random(1 << 16, 2)},  // nothing in common
  };
  for (const auto& [a, b] : pairs) {
    SCOPED_TRACE(std::to_string(a.size()) + " -> " + std::to_string(b.size()));
    const std::string patch = MakePatch(a, b);
    ASSERT_GE(patch.size(), kDeltaHeaderSize);
    std::string out;
    ASSERT_EQ(Apply(a, patch, out), PatchResult::Ok);
    EXPECT_TRUE(out == b);
  }
  // A real delta is small: a few edits cost a few KB, not the file.
  EXPECT_LT(MakePatch(old, fresh).size(), fresh.size() / 10);
}

TEST(DeltaPatch, ThousandsOfDamagedPatchesEndCleanly) {
  const auto [old, fresh] = Versions(11);
  const std::string patch = MakePatch(old, fresh);
  std::mt19937 rng(5);
  std::string out;
  int refused = 0, wrong = 0;
  auto check = [&](const std::string& damaged, int64_t max) {
    const PatchResult r = Apply(old, damaged, out, max);
    EXPECT_LE(out.size(), static_cast<size_t>(std::max<int64_t>(max, 0)) + (64 << 10));  // never past the bound and a buffer
    if (r != PatchResult::Ok) ++refused;
    else if (out != fresh) ++wrong;  // a change the format cannot see: the caller's check catches it
  };
  // Every cut.
  for (size_t n = 0; n < patch.size(); n += 1 + patch.size() / 700) check(patch.substr(0, n), 1 << 22);
  // Flipped bytes anywhere, the header included.
  for (int i = 0; i < 2000; ++i) {
    std::string d = patch;
    for (int k = 0; k < 1 + static_cast<int>(rng() % 4); ++k) d[rng() % d.size()] ^= static_cast<char>(1 + rng() % 255);
    check(d, 1 << 22);
  }
  // Lengths that lie, and huge counts.
  for (size_t field : {16u, 24u, 32u, 40u, 48u, 56u})
    for (uint64_t value : {0ull, 1ull, 0x7FFFFFFFull, 0xFFFFFFFFull, 0x7FFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull}) {
      std::string d = patch;
      for (int b = 0; b < 8; ++b) d[field + b] = static_cast<char>((value >> (8 * b)) & 0xFF);
      check(d, 1 << 22);
    }
  // Another old file, another version, and bytes that are no patch.
  EXPECT_EQ(Apply(old.substr(1), patch, out), PatchResult::OtherSource);
  std::string v2 = patch;
  v2[8] = 2;
  EXPECT_EQ(Apply(old, v2, out), PatchResult::NotAPatch);
  EXPECT_EQ(Apply(old, "not a patch at all, not even its header....................................", out),
            PatchResult::NotAPatch);
  // A result above the caller's bound is refused before a byte is written.
  EXPECT_EQ(Apply(old, patch, out, static_cast<int64_t>(fresh.size()) - 1), PatchResult::TooLarge);
  EXPECT_TRUE(out.empty());
  EXPECT_GT(refused, 2500);
  EXPECT_LT(wrong, 50);
}

TEST(DeltaPatch, AnEndlessPatchIsBoundedByItsHeader) {
  // A control stream that asks for a huge file of zero steps, all deflated
  // into little: refused by the bound, or by the first step that makes no progress.
  std::string control;
  for (int i = 0; i < 100000; ++i) control += std::string("\0\0\0", 3);
  const std::string c = DeflateBytes(reinterpret_cast<const uint8_t*>(control.data()), control.size());
  const std::string empty = DeflateBytes(nullptr, 0);
  std::string patch(kDeltaMagic, 8);
  auto put = [&](uint64_t v) {
    for (int b = 0; b < 8; ++b) patch += static_cast<char>((v >> (8 * b)) & 0xFF);
  };
  put(kDeltaVersion);
  put(5);
  put(1u << 30);
  put(c.size());
  for (int i = 0; i < 3; ++i) put(empty.size());
  patch += c + empty + empty + empty;
  std::string out;
  EXPECT_EQ(Apply("hello", patch, out, 1 << 20), PatchResult::TooLarge);
  EXPECT_EQ(Apply("hello", patch, out, 1 << 30), PatchResult::Damaged);
}

TEST(DeltaPatch, ADeflateBombStopsAtItsBound) {
  const std::string zeros(8 << 20, '\0');
  const std::string bomb = DeflateBytes(reinterpret_cast<const uint8_t*>(zeros.data()), zeros.size());
  ASSERT_LT(bomb.size(), 64u << 10);
  size_t written = 0;
  const auto sink = [&](const uint8_t*, size_t n) {
    written += n;
    return true;
  };
  EXPECT_EQ(InflateBytes(reinterpret_cast<const uint8_t*>(bomb.data()), bomb.size(), 1 << 20, sink), PatchResult::TooLarge);
  EXPECT_LE(written, 1u << 20);
  written = 0;
  EXPECT_EQ(InflateBytes(reinterpret_cast<const uint8_t*>(bomb.data()), bomb.size(), 8 << 20, sink), PatchResult::Ok);
  EXPECT_EQ(written, 8u << 20);
  EXPECT_EQ(InflateBytes(reinterpret_cast<const uint8_t*>(bomb.data()), bomb.size() - 10, 8 << 20, sink), PatchResult::Damaged);
  EXPECT_EQ(InflateBytes(reinterpret_cast<const uint8_t*>((bomb + "x").data()), bomb.size() + 1, 8 << 20, sink),
            PatchResult::Damaged);
}
