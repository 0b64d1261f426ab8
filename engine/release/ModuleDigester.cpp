#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "engine/release/DigestRules.h"
#include "engine/release/ModuleDigest.h"

using namespace digest_rules;

// Where every dividend is non-negative, a step is a pair of additions modulo
// 255: S[p] = S[q] + a, then S[q] = S[q] + 2a, with a depending only on the
// byte. A run of steps is then a map of the same shape, S'[i] = S[src(i)] +
// off(i), which can be worked out without knowing S: start from the identity
// (slot i holds i << 24 and an offset of 0) and take the steps as they come.
// So separate stretches of the file are worked on at once (four side by side
// keep the processor's pipelines full), both passes go over a stretch while
// it is in the cache, and the maps are put together in order at the end:
// the file is read once, in any pieces, as its bytes come.
namespace {

constexpr uint32_t kSrcShift = 24;
constexpr uint32_t kOffMask = (1u << kSrcShift) - 1;
// A step adds at most 254 to an offset: 16 KB of steps stay below 2^24, and
// two such offsets add up without overflow where maps are put together.
constexpr size_t kSegment = 16 * 1024;
constexpr size_t kLanes = 4;

using Map = std::array<uint32_t, 16>;

Map Identity() {
  Map m;
  for (uint32_t i = 0; i < 16; ++i) m[i] = i << kSrcShift;
  return m;
}

inline uint32_t Src(uint32_t v) { return v >> kSrcShift; }
inline uint32_t Off(uint32_t v) { return v & kOffMask; }

// The state `m` makes of `state` (values 0 to 254).
Map Apply(const Map& m, const Map& state) {
  Map out;
  for (int i = 0; i < 16; ++i) out[i] = (state[Src(m[i])] + Off(m[i])) % 255;
  return out;
}

// `outer` after `inner`: S -> outer(inner(S)).
Map Compose(const Map& outer, const Map& inner) {
  Map m;
  for (int i = 0; i < 16; ++i) {
    const uint32_t via = inner[Src(outer[i])];
    m[i] = (Src(via) << kSrcShift) | ((Off(via) + Off(outer[i])) % 255);
  }
  return m;
}

struct StepAdd {
  uint32_t once, twice;
};

// One step; S[q] is read before either store, and the second store wins.
inline void Step(uint32_t* s, const StepAdd* table, uint32_t p, uint32_t q, uint8_t c) {
  const uint32_t v = s[q];
  s[p] = v + table[c].once;
  s[q] = v + table[c].twice;
}

// The forward map of `count` bytes whose first offset is a multiple of 16.
void ForwardMap(const StepAdd* table, const uint8_t* bytes, size_t count, Map& m) {
  uint32_t* s = m.data();
  WalkForward(bytes, count, 0, [&](Slots slots, uint8_t c) { Step(s, table, slots.p, slots.q, c); });
}

// The backward map of the same bytes.
void BackwardMap(const StepAdd* table, const uint8_t* bytes, size_t count, Map& m) {
  uint32_t* s = m.data();
  WalkBackward(bytes, count, 0, [&](Slots slots, uint8_t c) { Step(s, table, slots.p, slots.q, c); });
}

// Both maps of kLanes whole segments side by side, each lane walked in its
// pass's order; a segment starts at a multiple of 16, so the offset within
// each group of 16 bytes is all the slots need.
void LaneMaps(const StepAdd* forward, const StepAdd* backward, const uint8_t* bytes, Map* forwardMaps, Map* backwardMaps) {
  uint32_t s[kLanes][16];
  for (size_t l = 0; l < kLanes; ++l) std::memcpy(s[l], forwardMaps[l].data(), sizeof s[l]);
  for (size_t n = 0; n < kSegment; n += 16) {
#pragma GCC unroll 16
    for (uint32_t i = 0; i < 16; ++i) {
#pragma GCC unroll 4
      for (size_t l = 0; l < kLanes; ++l) {
        const uint8_t c = bytes[l * kSegment + n + i];
        const Slots slots = ForwardSlots(i, c);
        Step(s[l], forward, slots.p, slots.q, c);
      }
    }
  }
  for (size_t l = 0; l < kLanes; ++l) std::memcpy(forwardMaps[l].data(), s[l], sizeof s[l]);
  for (size_t l = 0; l < kLanes; ++l) std::memcpy(s[l], backwardMaps[l].data(), sizeof s[l]);
  for (size_t n = kSegment; n > 0; n -= 16) {
#pragma GCC unroll 16
    for (uint32_t i = 16; i > 0; --i) {
#pragma GCC unroll 4
      for (size_t l = 0; l < kLanes; ++l) {
        const uint8_t c = bytes[l * kSegment + n - 17 + i];
        const Slots slots = BackwardSlots(i - 1, c);
        Step(s[l], backward, slots.p, slots.q, c);
      }
    }
  }
  for (size_t l = 0; l < kLanes; ++l) std::memcpy(backwardMaps[l].data(), s[l], sizeof s[l]);
}

}  // namespace

struct ModuleDigester::Tables {
  StepAdd forward[256];
  StepAdd backward[256];
};

bool ModuleDigester::Streams(const std::string& key, int32_t length) {
  if (key.empty() || length < 0) return false;
  for (char ch : key)
    if (static_cast<signed char>(ch) < 0) return false;
  // Largest dividend: 254 + 255 + 127 + L.
  return length <= INT32_MAX - 700;
}

ModuleDigester::ModuleDigester(const std::string& key, int32_t length)
    : length_(length), streams_(Streams(key, length)), tables_(new Tables) {
  if (!streams_) return;
  for (int c = 0; c < 256; ++c) {
    const int forwardKey = KeyCharacter(key, c, Pass::Forward);
    const int backwardKey = KeyCharacter(key, c, Pass::Backward);
    const uint32_t a = static_cast<uint32_t>((c + forwardKey + length) % 255);
    const uint32_t b = static_cast<uint32_t>((c + backwardKey + length) % 255);
    tables_->forward[c] = {a, (2 * a) % 255};
    tables_->backward[c] = {b, (2 * b) % 255};
  }
  forward_.fill(0);
  backward_ = Identity();
}

ModuleDigester::~ModuleDigester() = default;

void ModuleDigester::Take(const Map& forwardMap, const Map& backwardMap) {
  // Forward: the state moves on at once. Backward: this stretch is walked
  // before every earlier one, so its map goes first.
  forward_ = Apply(forwardMap, forward_);
  backward_ = Compose(backward_, backwardMap);
}

void ModuleDigester::Work(const uint8_t* bytes, size_t count) {
  // `count` is a multiple of 16 except for the file's last piece, so every
  // stretch begins at an offset that is a multiple of 16.
  while (count >= kLanes * kSegment) {
    Map forwardMaps[kLanes], backwardMaps[kLanes];
    for (size_t l = 0; l < kLanes; ++l) forwardMaps[l] = backwardMaps[l] = Identity();
    LaneMaps(tables_->forward, tables_->backward, bytes, forwardMaps, backwardMaps);
    for (size_t l = 0; l < kLanes; ++l) Take(forwardMaps[l], backwardMaps[l]);
    bytes += kLanes * kSegment;
    count -= kLanes * kSegment;
  }
  while (count > 0) {
    const size_t n = std::min(count, kSegment);
    Map forwardMap = Identity(), backwardMap = Identity();
    ForwardMap(tables_->forward, bytes, n, forwardMap);
    BackwardMap(tables_->backward, bytes, n, backwardMap);
    Take(forwardMap, backwardMap);
    bytes += n;
    count -= n;
  }
}

void ModuleDigester::Add(const uint8_t* bytes, size_t count) {
  if (!streams_) return;
  added_ += count;
  constexpr size_t kBlock = kLanes * kSegment;
  if (pendingSize_ > 0) {
    const size_t n = std::min(count, kBlock - pendingSize_);
    std::memcpy(pending_.get() + pendingSize_, bytes, n);
    pendingSize_ += n;
    bytes += n;
    count -= n;
    if (pendingSize_ < kBlock) return;
    Work(pending_.get(), kBlock);
    pendingSize_ = 0;
  }
  const size_t whole = count / kBlock * kBlock;
  Work(bytes, whole);
  bytes += whole;
  count -= whole;
  if (count > 0) {
    if (!pending_) pending_.reset(new uint8_t[kBlock]);
    std::memcpy(pending_.get(), bytes, count);
    pendingSize_ = count;
  }
}

std::string ModuleDigester::Finish() {
  if (!streams_ || added_ != static_cast<uint64_t>(length_)) return {};
  Work(pending_.get(), pendingSize_);
  pendingSize_ = 0;
  return RenderDigest(Apply(backward_, forward_).data());
}
