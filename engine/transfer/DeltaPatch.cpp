#include "engine/transfer/DeltaPatch.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

uint64_t Load64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
uint32_t Load32(const uint8_t* p) { return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24); }

// Reads one zlib stream held in memory, in order, as much as asked.
class Inflater {
 public:
  Inflater(const uint8_t* data, size_t size) {
    stream_.next_in = const_cast<Bytef*>(data);
    stream_.avail_in = static_cast<uInt>(size);
    initialised_ = size <= 0xFFFFFFFFu && inflateInit(&stream_) == Z_OK;
    ok_ = initialised_;
  }
  // A stream that failed half way still holds zlib's state.
  ~Inflater() {
    if (initialised_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Exactly `count` bytes, or false (damaged, or the stream ended first).
  bool Read(uint8_t* out, size_t count) {
    if (!ok_) return false;
    while (count > 0) {
      if (ended_) return false;
      stream_.next_out = out;
      stream_.avail_out = static_cast<uInt>(std::min<size_t>(count, 1 << 20));
      const uInt asked = stream_.avail_out;
      const int status = inflate(&stream_, Z_NO_FLUSH);
      const size_t got = asked - stream_.avail_out;
      if (status == Z_STREAM_END) {
        ended_ = true;
      } else if (status != Z_OK || (got == 0 && stream_.avail_in == 0)) {
        ok_ = false;  // damaged, or cut: it can never give more
        return false;
      }
      out += got;
      count -= got;
    }
    return true;
  }
  // True when the stream has ended and nothing follows it.
  bool Finished() {
    if (!ok_) return false;
    if (!ended_) {
      uint8_t probe;
      stream_.next_out = &probe;
      stream_.avail_out = 1;
      if (inflate(&stream_, Z_NO_FLUSH) != Z_STREAM_END || stream_.avail_out == 0) return false;
      ended_ = true;
    }
    return stream_.avail_in == 0;
  }
  bool ReadVarint(uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      uint8_t byte;
      if (!Read(&byte, 1)) return false;
      value |= uint64_t{byte & 0x7Fu} << shift;
      if (!(byte & 0x80)) return true;
    }
    return false;  // longer than any 64-bit value
  }

 private:
  z_stream stream_{};
  bool initialised_ = false;  // inflateInit succeeded: inflateEnd is owed
  bool ok_ = false;
  bool ended_ = false;
};

// The differences, stored as the lengths of their runs of zeros and the
// other bytes apart: mostly zeros, they compress far better so.
// With kDeltaInterleaved the bytes follow their runs in the one stream
// (better where the same few differences come in a pattern, as shifted
// pointers do); the bytes stream is then empty.
class DiffReader {
 public:
  DiffReader(Inflater& runs, Inflater& bytes, bool interleaved)
      : runs_(runs), bytes_(interleaved ? runs : bytes), other_(bytes) {}
  bool Read(uint8_t* out, size_t count) {
    size_t i = 0;
    while (i < count) {
      if (zeros_ > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(zeros_, count - i));
        std::memset(out + i, 0, n);
        zeros_ -= n;
        i += n;
      } else if (byteDue_) {
        if (!bytes_.Read(out + i, 1)) return false;
        ++i;
        byteDue_ = false;
      } else {
        if (!runs_.ReadVarint(zeros_)) return false;
        byteDue_ = true;  // the byte after the run, should more be asked for
      }
    }
    return true;
  }
  bool Finished() { return zeros_ == 0 && runs_.Finished() && other_.Finished(); }

 private:
  Inflater& runs_;
  Inflater& bytes_;
  Inflater& other_;
  uint64_t zeros_ = 0;
  bool byteDue_ = false;
};

}  // namespace

const char* PatchResultText(PatchResult result) {
  switch (result) {
    case PatchResult::Ok: return "applied";
    case PatchResult::NotAPatch: return "not a patch of this version";
    case PatchResult::OtherSource: return "made for another old file";
    case PatchResult::TooLarge: return "the result would be too large";
    case PatchResult::Damaged: return "damaged";
    case PatchResult::WriteFailed: return "the result could not be written";
  }
  return "?";
}

bool ReadPatchHeader(const uint8_t* patch, size_t patchSize, int64_t& oldSize, int64_t& newSize) {
  if (!patch || patchSize < kDeltaHeaderSize || std::memcmp(patch, kDeltaMagic, 8) != 0) return false;
  if (Load32(patch + 8) != kDeltaVersion || (Load32(patch + 12) & ~kDeltaInterleaved) != 0) return false;
  const uint64_t oldBytes = Load64(patch + 16), newBytes = Load64(patch + 24);
  const uint64_t streams[4] = {Load64(patch + 32), Load64(patch + 40), Load64(patch + 48), Load64(patch + 56)};
  uint64_t total = kDeltaHeaderSize;
  for (uint64_t s : streams) {
    if (s > patchSize) return false;
    total += s;
  }
  if (total != patchSize || oldBytes > INT64_MAX || newBytes > INT64_MAX) return false;
  oldSize = static_cast<int64_t>(oldBytes);
  newSize = static_cast<int64_t>(newBytes);
  return true;
}

PatchResult ApplyPatch(const uint8_t* old, size_t oldSize, const uint8_t* patch, size_t patchSize, int64_t maxNewSize,
                       const PatchSink& sink) {
  int64_t headerOld = 0, newSize = 0;
  if (!ReadPatchHeader(patch, patchSize, headerOld, newSize)) return PatchResult::NotAPatch;
  if (headerOld != static_cast<int64_t>(oldSize)) return PatchResult::OtherSource;
  if (newSize > maxNewSize) return PatchResult::TooLarge;
  size_t offsets[5] = {kDeltaHeaderSize};
  for (int i = 0; i < 4; ++i) offsets[i + 1] = offsets[i] + static_cast<size_t>(Load64(patch + 32 + 8 * i));
  Inflater control(patch + offsets[0], offsets[1] - offsets[0]), runs(patch + offsets[1], offsets[2] - offsets[1]),
      bytes(patch + offsets[2], offsets[3] - offsets[2]), extra(patch + offsets[3], offsets[4] - offsets[3]);
  DiffReader diff(runs, bytes, (Load32(patch + 12) & kDeltaInterleaved) != 0);
  std::vector<uint8_t> buffer(64 * 1024);
  int64_t newPos = 0, oldPos = 0;
  // Every step but the first makes progress, so the loop ends within newSize + 1 steps.
  for (bool first = true; newPos < newSize || first; first = false) {
    uint64_t add = 0, copy = 0, seek = 0;
    if (!control.ReadVarint(add) || !control.ReadVarint(copy) || !control.ReadVarint(seek)) {
      if (first && newSize == 0 && control.Finished()) break;  // an empty new file needs no step
      return PatchResult::Damaged;
    }
    const uint64_t left = static_cast<uint64_t>(newSize - newPos);
    if ((add + copy == 0 && !first) || add > left || copy > left - add) return PatchResult::Damaged;
    for (uint64_t done = 0; done < add;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(add - done, buffer.size()));
      if (!diff.Read(buffer.data(), n)) return PatchResult::Damaged;
      for (size_t i = 0; i < n; ++i) {
        const int64_t at = oldPos + static_cast<int64_t>(done + i);
        if (at >= 0 && at < static_cast<int64_t>(oldSize)) buffer[i] = static_cast<uint8_t>(buffer[i] + old[at]);
      }
      if (!sink(buffer.data(), n)) return PatchResult::WriteFailed;
      done += n;
    }
    newPos += static_cast<int64_t>(add);
    oldPos += static_cast<int64_t>(add);
    for (uint64_t done = 0; done < copy;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(copy - done, buffer.size()));
      if (!extra.Read(buffer.data(), n)) return PatchResult::Damaged;
      if (!sink(buffer.data(), n)) return PatchResult::WriteFailed;
      done += n;
    }
    newPos += static_cast<int64_t>(copy);
    // The seek is zigzag-coded; the old position stays within reach of the files.
    const int64_t step = static_cast<int64_t>(seek >> 1) ^ -static_cast<int64_t>(seek & 1);
    const int64_t reach = static_cast<int64_t>(oldSize) + newSize;
    if (step > reach || step < -reach || oldPos + step > reach || oldPos + step < -reach) return PatchResult::Damaged;
    oldPos += step;
  }
  // Nothing may follow the new file's last byte in any stream.
  if (!control.Finished() || !diff.Finished() || !extra.Finished()) return PatchResult::Damaged;
  return PatchResult::Ok;
}

std::string DeflateBytes(const uint8_t* bytes, size_t size, int level) {
  std::string out(compressBound(static_cast<uLong>(size)), '\0');
  uLongf length = static_cast<uLongf>(out.size());
  if (compress2(reinterpret_cast<Bytef*>(&out[0]), &length, bytes, static_cast<uLong>(size), level) != Z_OK) return {};
  out.resize(length);
  return out;
}

PatchResult InflateBytes(const uint8_t* compressed, size_t size, int64_t maxBytes, const PatchSink& sink) {
  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(compressed);
  stream.avail_in = static_cast<uInt>(size);
  if (size > 0xFFFFFFFFu || inflateInit(&stream) != Z_OK) return PatchResult::Damaged;
  std::vector<uint8_t> buffer(64 * 1024);
  int64_t produced = 0;
  PatchResult result = PatchResult::Ok;
  for (;;) {
    stream.next_out = buffer.data();
    stream.avail_out = static_cast<uInt>(buffer.size());
    const int status = inflate(&stream, Z_NO_FLUSH);
    const size_t got = buffer.size() - stream.avail_out;
    produced += static_cast<int64_t>(got);
    if (produced > maxBytes) {
      result = PatchResult::TooLarge;  // never written beyond the bound
      break;
    }
    if (got > 0 && !sink(buffer.data(), got)) {
      result = PatchResult::WriteFailed;
      break;
    }
    if (status == Z_STREAM_END) {
      if (stream.avail_in != 0) result = PatchResult::Damaged;
      break;
    }
    if (status != Z_OK || (got == 0 && stream.avail_in == 0)) {
      result = PatchResult::Damaged;
      break;
    }
  }
  inflateEnd(&stream);
  return result;
}
