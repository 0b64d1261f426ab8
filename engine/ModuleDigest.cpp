#include "engine/ModuleDigest.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <sys/stat.h>
#include <vector>

const char kModuleDigestKey[] = "zxcv%&reg;*hgk517!(";

namespace {

constexpr size_t kChunk = 1 << 20;

// The state update of one step of either pass:
//   d = (S[q] + c + k + L) mod 255 -> S[p];  e = (d + c + k + L) mod 255 -> S[q]
// with signed 32-bit arithmetic, truncating remainder and 8-bit stores.
// When every dividend is non-negative (the usual case: printable key, file
// under 2 GB) each step is a pair of additions modulo 255, so the state can be
// kept unreduced and reduced once per chunk; otherwise the exact signed rules
// are applied byte by byte.
class DigestState {
 public:
  DigestState(const std::string& key, int32_t length) : length_(length) {
    const int keyLength = static_cast<int>(key.size());
    bool nonNegative = true;
    for (char ch : key) nonNegative = nonNegative && static_cast<signed char>(ch) >= 0;
    // Largest dividend: 254 + 255 + 127 + L.
    fast_ = nonNegative && length >= 0 && length <= INT32_MAX - 700;
    for (int c = 0; c < 256; ++c) {
      forwardKey_[c] = static_cast<signed char>(key[(c + 16) % keyLength]);
      backwardKey_[c] = static_cast<signed char>(key[(c + 17) % keyLength]);
      if (fast_) {
        const uint32_t a = static_cast<uint32_t>((c + forwardKey_[c] + length) % 255);
        const uint32_t b = static_cast<uint32_t>((c + backwardKey_[c] + length) % 255);
        forwardAdd_[c] = {a, (2 * a) % 255};
        backwardAdd_[c] = {b, (2 * b) % 255};
      }
    }
  }

  // Bytes at file offsets first, first+1, ... in increasing order.
  void Forward(const uint8_t* bytes, size_t count, uint32_t first) {
    if (!fast_) {
      for (size_t n = 0; n < count; ++n) {
        const int c = bytes[n];
        ExactStep((first + n) & 15, c & 15, c, forwardKey_[c]);
      }
      return;
    }
    size_t n = 0;
    // Align the offset to 16 so that the target slot is a constant per lane.
    for (; n < count && ((first + n) & 15) != 0; ++n) FastStep(forwardAdd_, (first + n) & 15, bytes[n] & 15, bytes[n]);
    for (; n + 16 <= count; n += 16) {
      const uint8_t* b = bytes + n;
#define FWD(i) FastStep(forwardAdd_, i, b[i] & 15, b[i])
      FWD(0); FWD(1); FWD(2); FWD(3); FWD(4); FWD(5); FWD(6); FWD(7);
      FWD(8); FWD(9); FWD(10); FWD(11); FWD(12); FWD(13); FWD(14); FWD(15);
#undef FWD
    }
    for (; n < count; ++n) FastStep(forwardAdd_, (first + n) & 15, bytes[n] & 15, bytes[n]);
    Reduce();
  }

  // Bytes at file offsets first+count-1 down to first, j being offset + 1.
  void Backward(const uint8_t* bytes, size_t count, uint32_t first) {
    if (!fast_) {
      for (size_t n = count; n-- > 0;) {
        const int c = bytes[n];
        const uint32_t p = (first + n + 1) & 15;
        ExactStep(p, (c + p) & 15, c, backwardKey_[c]);
      }
      return;
    }
    size_t n = count;
    for (; n > 0 && ((first + n) & 15) != 0; --n) {
      const uint8_t c = bytes[n - 1];
      const uint32_t p = (first + n) & 15;
      FastStep(backwardAdd_, p, (c + p) & 15, c);
    }
    // Here first + n is a multiple of 16: j = first + n has p = 0, j - 1 has p = 15, ...
    for (; n >= 16; n -= 16) {
      const uint8_t* b = bytes + n - 16;
#define BWD(i, p) FastStep(backwardAdd_, p, (b[i] + p) & 15, b[i])
      BWD(15, 0); BWD(14, 15); BWD(13, 14); BWD(12, 13); BWD(11, 12); BWD(10, 11); BWD(9, 10); BWD(8, 9);
      BWD(7, 8); BWD(6, 7); BWD(5, 6); BWD(4, 5); BWD(3, 4); BWD(2, 3); BWD(1, 2); BWD(0, 1);
#undef BWD
    }
    for (; n > 0; --n) {
      const uint8_t c = bytes[n - 1];
      const uint32_t p = (first + n) & 15;
      FastStep(backwardAdd_, p, (c + p) & 15, c);
    }
    Reduce();
  }

  std::string Render() const {
    static const char kHex[] = "0123456789abcdef";
    std::string out(32, '0');
    for (int i = 0; i < 16; ++i) {
      const uint32_t v = fast_ ? state_[i] % 255 : state_[i];
      out[2 * i] = kHex[(v >> 4) & 15];
      out[2 * i + 1] = kHex[v & 15];
    }
    return out;
  }

 private:
  struct Add {
    uint32_t once, twice;
  };

  // S[p] = S[q] + a; S[q] = S[q] + 2a (mod 255), the second store last.
  inline void FastStep(const Add* table, uint32_t p, uint32_t q, uint8_t c) {
    const uint32_t v = state_[q];
    state_[p] = v + table[c].once;
    state_[q] = v + table[c].twice;
  }

  void ExactStep(uint32_t p, uint32_t q, int c, int k) {
    const uint32_t base = static_cast<uint32_t>(c) + static_cast<uint32_t>(k) + static_cast<uint32_t>(length_);
    const int32_t d = Remainder(static_cast<int32_t>(state_[q] + base));
    state_[p] = static_cast<uint8_t>(d);
    const int32_t e = Remainder(static_cast<int32_t>(state_[p] + base));
    state_[q] = static_cast<uint8_t>(e);
  }

  static int32_t Remainder(int32_t dividend) { return dividend % 255; }

  // Unreduced values grow by at most 508 per byte; a chunk of 1 MiB keeps them
  // far below 2^32.
  void Reduce() {
    for (auto& v : state_) v %= 255;
  }

  int32_t length_;
  bool fast_ = false;
  std::array<uint32_t, 16> state_{};
  int forwardKey_[256];
  int backwardKey_[256];
  Add forwardAdd_[256];
  Add backwardAdd_[256];
};

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
  if (key.empty()) return {};
  DigestState state(key, length);
  for (int32_t done = 0; done < length;) {
    const size_t n = std::min<size_t>(kChunk, static_cast<size_t>(length - done));
    state.Forward(data + done, n, static_cast<uint32_t>(done));
    done += static_cast<int32_t>(n);
  }
  for (int32_t end = length; end > 0;) {
    const size_t n = std::min<size_t>(kChunk, static_cast<size_t>(end));
    end -= static_cast<int32_t>(n);
    state.Backward(data + end, n, static_cast<uint32_t>(end));
  }
  return state.Render();
}

std::string ModuleDigestOfStream(std::FILE* file, int32_t length, const std::string& key) {
  if (key.empty() || length < 0) return {};
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kChunk]);
  // A file that shrinks while it is read: only the bytes actually read take
  // part, as if the file had that length; the length only ever decreases.
  for (;;) {
    DigestState state(key, length);
    if (!SeekTo(file, 0)) return {};
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
