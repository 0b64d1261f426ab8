#include "engine/ModuleDigest.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <vector>

const char kModuleDigestKey[] = "zxcv%&reg;*hgk517!(";

namespace {

constexpr size_t kChunk = 1 << 20;

// S[0] .. S[15] as 32 lower-case hexadecimal digits.
std::string RenderDigest(const uint32_t* state) {
  static const char kHex[] = "0123456789abcdef";
  std::string out(32, '0');
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = kHex[(state[i] >> 4) & 15];
    out[2 * i + 1] = kHex[state[i] & 15];
  }
  return out;
}

// The fingerprint's rules, each written once. A forward step takes the byte
// c at offset i (i = 0 .. L-1) and stores into p = i mod 16, then q = c mod
// 16; a backward step takes the byte at offset j - 1 (j = L .. 1) and stores
// into p = j mod 16, then q = (c + p) mod 16. Only the offset modulo 16
// matters. The key character of a forward step is the one at (c + 16) mod K,
// of a backward step the one at (c + 17) mod K.
struct Slots {
  uint32_t p, q;
};
inline Slots ForwardSlots(uint32_t offset, uint32_t c) { return {offset & 15, c & 15}; }
inline Slots BackwardSlots(uint32_t offset, uint32_t c) {
  const uint32_t p = (offset + 1) & 15;
  return {p, (c + p) & 15};
}
enum class Pass { Forward, Backward };
inline int KeyCharacter(const std::string& key, int c, Pass pass) {
  return static_cast<signed char>(key[(c + (pass == Pass::Forward ? 16 : 17)) % key.size()]);
}

// The bytes at file offsets first, first+1, ... in the order of each pass.
template <typename Step>
inline void WalkForward(const uint8_t* bytes, size_t count, uint32_t first, Step step) {
  for (size_t n = 0; n < count; ++n) step(ForwardSlots(static_cast<uint32_t>(first + n), bytes[n]), bytes[n]);
}
template <typename Step>
inline void WalkBackward(const uint8_t* bytes, size_t count, uint32_t first, Step step) {
  for (size_t n = count; n-- > 0;) step(BackwardSlots(static_cast<uint32_t>(first + n), bytes[n]), bytes[n]);
}

// The state update of one step of either pass, exactly as defined:
//   d = (S[q] + c + k + L) mod 255 -> S[p];  e = (d + c + k + L) mod 255 -> S[q]
// with signed 32-bit arithmetic, truncating remainder and 8-bit stores. Used
// where some dividend can be negative (a key character above 0x7F, or a file
// too close to 2 GB); the usual case is ModuleDigester's.
class ExactState {
 public:
  ExactState(const std::string& key, int32_t length) : length_(length) {
    for (int c = 0; c < 256; ++c) {
      forwardKey_[c] = KeyCharacter(key, c, Pass::Forward);
      backwardKey_[c] = KeyCharacter(key, c, Pass::Backward);
    }
  }

  // Bytes at file offsets first, first+1, ...
  void Forward(const uint8_t* bytes, size_t count, uint32_t first) {
    WalkForward(bytes, count, first, [this](Slots s, int c) { Step(s.p, s.q, c, forwardKey_[c]); });
  }
  void Backward(const uint8_t* bytes, size_t count, uint32_t first) {
    WalkBackward(bytes, count, first, [this](Slots s, int c) { Step(s.p, s.q, c, backwardKey_[c]); });
  }

  std::string Render() const { return RenderDigest(state_.data()); }

 private:
  void Step(uint32_t p, uint32_t q, int c, int k) {
    const uint32_t base = static_cast<uint32_t>(c) + static_cast<uint32_t>(k) + static_cast<uint32_t>(length_);
    const int32_t d = static_cast<int32_t>(state_[q] + base) % 255;
    state_[p] = static_cast<uint8_t>(d);
    const int32_t e = static_cast<int32_t>(state_[p] + base) % 255;
    state_[q] = static_cast<uint8_t>(e);
  }

  int32_t length_;
  std::array<uint32_t, 16> state_{};
  int forwardKey_[256];
  int backwardKey_[256];
};

}  // namespace

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

namespace {

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int64_t FileLength(std::FILE* file) {
#ifdef _WIN32
  if (_fseeki64(file, 0, SEEK_END) != 0) return -1;
  const int64_t length = _ftelli64(file);
#else
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  const int64_t length = ftello(file);
#endif
  return length;
}

bool SeekTo(std::FILE* file, int64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, offset, SEEK_SET) == 0;
#else
  return fseeko(file, offset, SEEK_SET) == 0;
#endif
}

}  // namespace

std::string ModuleDigestOfBytes(const uint8_t* data, int32_t length, const std::string& key) {
  if (key.empty() || length < 0) return {};
  if (ModuleDigester::Streams(key, length)) {
    ModuleDigester digester(key, length);
    digester.Add(data, static_cast<size_t>(length));
    return digester.Finish();
  }
  ExactState state(key, length);
  state.Forward(data, static_cast<size_t>(length), 0);
  state.Backward(data, static_cast<size_t>(length), 0);
  return state.Render();
}

std::string ModuleDigestOfStream(std::FILE* file, int32_t length, const std::string& key) {
  if (key.empty() || length < 0) return {};
  // A small file needs no more than its own size.
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[std::max<size_t>(1, std::min<size_t>(kChunk, static_cast<size_t>(length)))]);
  // A file that shrinks while it is read: only the bytes actually read take
  // part, as if the file had that length; the length only ever decreases.
  for (;;) {
    if (!SeekTo(file, 0)) return {};
    if (ModuleDigester::Streams(key, length)) {
      // One pass over the file.
      ModuleDigester digester(key, length);
      int32_t done = 0;
      while (done < length) {
        const size_t want = std::min<size_t>(kChunk, static_cast<size_t>(length - done));
        const size_t got = std::fread(buffer.get(), 1, want, file);
        digester.Add(buffer.get(), got);
        done += static_cast<int32_t>(got);
        if (got != want) break;
      }
      if (done == length) return digester.Finish();
      length = done;
      continue;
    }
    ExactState state(key, length);
    int32_t done = 0;
    bool shrank = false;
    while (done < length) {
      const size_t want = std::min<size_t>(kChunk, static_cast<size_t>(length - done));
      const size_t got = std::fread(buffer.get(), 1, want, file);
      if (got != want) {
        length = done + static_cast<int32_t>(got);
        shrank = true;
        break;
      }
      state.Forward(buffer.get(), want, static_cast<uint32_t>(done));
      done += static_cast<int32_t>(want);
    }
    if (shrank) continue;
    int32_t end = length;
    while (end > 0) {
      const size_t want = std::min<size_t>(kChunk, static_cast<size_t>(end));
      if (!SeekTo(file, end - static_cast<int32_t>(want)) || std::fread(buffer.get(), 1, want, file) != want) break;
      end -= static_cast<int32_t>(want);
      state.Backward(buffer.get(), want, static_cast<uint32_t>(end));
    }
    if (end == 0) return state.Render();
    const int64_t now = FileLength(file);
    if (now < 0 || now >= length) return {};
    length = static_cast<int32_t>(now);
  }
}

std::string ModuleDigest(const std::string& path, const std::string& key) {
  if (!FileExists(path)) return {};
  if (key.empty()) return {};
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return {};
  const int64_t length = FileLength(file);
  std::string result;
  // The fingerprint's length is a signed 32-bit value: larger files are not modules.
  if (length >= 0 && length <= INT32_MAX) result = ModuleDigestOfStream(file, static_cast<int32_t>(length), key);
  std::fclose(file);
  return result;
}

bool IsWellFormedDigest(const std::string& text) {
  if (text.size() != 32) return false;
  for (const char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string LowerCaseDigest(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
