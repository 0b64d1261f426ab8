// The fingerprint's rules as defined, shared by the two ways of working
// it out (engine/release/ModuleDigest.cpp, ModuleDigester.cpp): internal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace digest_rules {

// S[0] .. S[15] as 32 lower-case hexadecimal digits.
inline std::string RenderDigest(const uint32_t* state) {
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

}  // namespace digest_rules
