#include "DeltaMaker.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/transfer/DeltaPatch.h"

namespace {

void PutVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}

void Put64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

int64_t MatchLength(const uint8_t* a, int64_t aSize, const uint8_t* b, int64_t bSize) {
  int64_t i = 0;
  const int64_t n = std::min(aSize, bSize);
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The longest match of `target` among the old file's suffixes, by binary search.
int64_t Search(const std::vector<saidx_t>& sa, const uint8_t* old, int64_t oldSize, const uint8_t* target,
               int64_t targetSize, int64_t start, int64_t end, int64_t& pos) {
  while (end - start >= 2) {
    const int64_t middle = start + (end - start) / 2;
    const int64_t at = sa[static_cast<size_t>(middle)];
    const size_t n = static_cast<size_t>(std::min(oldSize - at, targetSize));
    if (std::memcmp(old + at, target, n) < 0)
      start = middle;
    else
      end = middle;
  }
  const int64_t x = MatchLength(old + sa[static_cast<size_t>(start)], oldSize - sa[static_cast<size_t>(start)], target, targetSize);
  const int64_t y = MatchLength(old + sa[static_cast<size_t>(end)], oldSize - sa[static_cast<size_t>(end)], target, targetSize);
  if (x > y) {
    pos = sa[static_cast<size_t>(start)];
    return x;
  }
  pos = sa[static_cast<size_t>(end)];
  return y;
}

}  // namespace

std::string MakePatch(const std::string& oldBytes, const std::string& newBytes) {
  constexpr size_t kLimit = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  if (oldBytes.size() > kLimit || newBytes.size() > kLimit) return {};
  const auto* old = reinterpret_cast<const uint8_t*>(oldBytes.data());
  const auto* fresh = reinterpret_cast<const uint8_t*>(newBytes.data());
  const int64_t oldSize = static_cast<int64_t>(oldBytes.size()), newSize = static_cast<int64_t>(newBytes.size());

  std::vector<saidx_t> sa(std::max<size_t>(oldBytes.size(), 1));
  if (oldSize > 0 && divsufsort(old, sa.data(), static_cast<saidx_t>(oldSize)) != 0) return {};

  struct StepOf {
    int64_t add, copy, seek;
  };
  std::vector<StepOf> steps;
  std::string control, diff, extra;
  diff.reserve(newBytes.size());
  int64_t scan = 0, len = 0, pos = 0, lastScan = 0, lastPos = 0, lastOffset = 0;
  while (scan < newSize) {
    int64_t oldScore = 0;
    int64_t scsc = scan += len;
    for (; scan < newSize; ++scan) {
      len = oldSize > 0 ? Search(sa, old, oldSize, fresh + scan, newSize - scan, 0, oldSize - 1, pos) : 0;
      for (; scsc < scan + len; ++scsc)
        if (scsc + lastOffset < oldSize && old[scsc + lastOffset] == fresh[scsc]) ++oldScore;
      if ((len == oldScore && len != 0) || len > oldScore + 8) break;
      if (scan + lastOffset < oldSize && old[scan + lastOffset] == fresh[scan]) --oldScore;
    }
    if (len == oldScore && scan != newSize) continue;
    // Forward from the last match, backward from this one, and where they overlap, the better split.
    int64_t s = 0, best = 0, lenForward = 0;
    for (int64_t i = 0; lastScan + i < scan && lastPos + i < oldSize;) {
      if (old[lastPos + i] == fresh[lastScan + i]) ++s;
      ++i;
      if (s * 2 - i > best * 2 - lenForward) {
        best = s;
        lenForward = i;
      }
    }
    int64_t lenBack = 0;
    if (scan < newSize) {
      s = 0;
      best = 0;
      for (int64_t i = 1; scan >= lastScan + i && pos >= i; ++i) {
        if (old[pos - i] == fresh[scan - i]) ++s;
        if (s * 2 - i > best * 2 - lenBack) {
          best = s;
          lenBack = i;
        }
      }
    }
    if (lastScan + lenForward > scan - lenBack) {
      const int64_t overlap = (lastScan + lenForward) - (scan - lenBack);
      s = 0;
      best = 0;
      int64_t split = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (fresh[lastScan + lenForward - overlap + i] == old[lastPos + lenForward - overlap + i]) ++s;
        if (fresh[scan - lenBack + i] == old[pos - lenBack + i]) --s;
        if (s > best) {
          best = s;
          split = i + 1;
        }
      }
      lenForward += split - overlap;
      lenBack -= split;
    }
    for (int64_t i = 0; i < lenForward; ++i) diff += static_cast<char>(fresh[lastScan + i] - old[lastPos + i]);
    const int64_t own = (scan - lenBack) - (lastScan + lenForward);
    extra.append(newBytes, static_cast<size_t>(lastScan + lenForward), static_cast<size_t>(own));
    const int64_t seek = (pos - lenBack) - (lastPos + lenForward);
    // A step that adds nothing only moves the old position: its move joins
    // the step before (only the very first step of a patch may make no progress).
    if (lenForward + own == 0 && !steps.empty()) {
      steps.back().seek += seek;
    } else {
      steps.push_back({lenForward, own, seek});
    }
    lastScan = scan - lenBack;
    lastPos = pos - lenBack;
    lastOffset = pos - scan;
  }
  for (const StepOf& step : steps) {
    PutVarint(control, static_cast<uint64_t>(step.add));
    PutVarint(control, static_cast<uint64_t>(step.copy));
    PutVarint(control, (static_cast<uint64_t>(step.seek) << 1) ^ static_cast<uint64_t>(step.seek >> 63));
  }
  // The differences as runs of zeros and the bytes between them: in two
  // streams, or the bytes after their runs in one, whichever deflates smaller.
  std::string runs, bytes, interleaved;
  uint64_t zeros = 0;
  for (char c : diff) {
    if (c == 0) {
      ++zeros;
      continue;
    }
    PutVarint(runs, zeros);
    PutVarint(interleaved, zeros);
    bytes += c;
    interleaved += c;
    zeros = 0;
  }
  if (zeros > 0) {
    PutVarint(runs, zeros);
    PutVarint(interleaved, zeros);
  }
  auto deflated = [](const std::string& s) { return DeflateBytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); };
  std::string streams[4] = {deflated(control), deflated(runs), deflated(bytes), deflated(extra)};
  uint32_t flags = 0;
  const std::string together = deflated(interleaved), none = deflated("");
  if (together.size() + none.size() < streams[1].size() + streams[2].size()) {
    streams[1] = together;
    streams[2] = none;
    flags |= kDeltaInterleaved;
  }
  std::string patch(kDeltaMagic, 8);
  Put64(patch, kDeltaVersion | static_cast<uint64_t>(flags) << 32);
  Put64(patch, static_cast<uint64_t>(oldSize));
  Put64(patch, static_cast<uint64_t>(newSize));
  for (const std::string& stream : streams) Put64(patch, stream.size());
  for (const std::string& stream : streams) patch += stream;
  return patch;
}
