// Patches between two versions of a module: a bsdiff-class delta (the new
// file as bytes added to matching stretches of the old one, plus bytes of
// its own), its three streams compressed with deflate. The release tool
// makes them (tools/release/DeltaMaker.h); the updater applies them. The
// format is described in docs/delta-format.md.
//
// Applying never reads or writes out of bounds, never loops, allocates at
// most a few hundred KB beyond the old file and the patch (which the caller
// holds), and ends with a clear result whatever the patch holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

constexpr char kDeltaMagic[] = "VELDELTA";  // 8 bytes, no terminator in the file
constexpr uint32_t kDeltaVersion = 1;
constexpr size_t kDeltaHeaderSize = 64;
// Flags, in the 32 bits after the version.
constexpr uint32_t kDeltaInterleaved = 1;  // each difference byte follows its run of zeros in the runs stream

enum class PatchResult {
  Ok,
  NotAPatch,      // no magic, another version, or a header that does not add up
  OtherSource,    // made from an old file of another size
  TooLarge,       // the new file would exceed the caller's bound
  Damaged,        // a stream that does not inflate, ends early, goes on, or steps out of bounds
  WriteFailed,    // the sink refused bytes
};
const char* PatchResultText(PatchResult result);

// Receives the new file's bytes in order, in pieces; false stops the patch.
using PatchSink = std::function<bool(const uint8_t* bytes, size_t count)>;

// The sizes a patch's header names; false when it is not a patch of this version.
bool ReadPatchHeader(const uint8_t* patch, size_t patchSize, int64_t& oldSize, int64_t& newSize);

PatchResult ApplyPatch(const uint8_t* old, size_t oldSize, const uint8_t* patch, size_t patchSize, int64_t maxNewSize,
                       const PatchSink& sink);

// Deflate, as the patch streams and the published compressed modules use it.
std::string DeflateBytes(const uint8_t* bytes, size_t size, int level = 9);
// Inflates `compressed` (a whole zlib stream) to `sink`, refusing more than
// `maxBytes` of output (a deflate bomb) and any bytes after the stream's end.
PatchResult InflateBytes(const uint8_t* compressed, size_t size, int64_t maxBytes, const PatchSink& sink);
