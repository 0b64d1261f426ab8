// The patch applier, the old file and the patch both from the input: a
// 32-bit little-endian length, that many bytes of old file, then the patch.
// Whatever they hold, the new file never outgrows the header's size or the
// caller's bound, and a whole patch yields exactly the header's size.
#include "FuzzCheck.h"
#include "engine/transfer/DeltaPatch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const size_t oldSize = std::min<size_t>(data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24, size - 4);
  const uint8_t* old = data + 4;
  const uint8_t* patch = old + oldSize;
  const size_t patchSize = size - 4 - oldSize;

  int64_t headerOld = -1, headerNew = -1;
  const bool header = ReadPatchHeader(patch, patchSize, headerOld, headerNew);
  for (int64_t bound : {int64_t(1) << 22, int64_t(1000)}) {
    int64_t written = 0;
    const PatchResult result = ApplyPatch(old, oldSize, patch, patchSize, bound, [&](const uint8_t*, size_t n) {
      written += static_cast<int64_t>(n);
      return true;
    });
    FUZZ_CHECK(written <= bound);
    if (result == PatchResult::Ok) FUZZ_CHECK(header && headerOld == int64_t(oldSize) && written == headerNew);
    if (header) FUZZ_CHECK(written <= headerNew);
  }
  return 0;
}
