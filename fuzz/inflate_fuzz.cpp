// The inflater of deflated modules and patch streams: never more than its
// bound, and what it accepts deflates back to the same bytes.
#include "FuzzCheck.h"
#include "engine/transfer/DeltaPatch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int64_t kBound = 1 << 20;
  std::string out;
  const PatchResult result = InflateBytes(data, size, kBound, [&](const uint8_t* bytes, size_t n) {
    out.append(reinterpret_cast<const char*>(bytes), n);
    return true;
  });
  FUZZ_CHECK(out.size() <= static_cast<size_t>(kBound));
  if (result == PatchResult::Ok) {
    const std::string again = DeflateBytes(reinterpret_cast<const uint8_t*>(out.data()), out.size(), 1);
    std::string back;
    FUZZ_CHECK(InflateBytes(reinterpret_cast<const uint8_t*>(again.data()), again.size(), kBound,
                            [&](const uint8_t* bytes, size_t n) {
                              back.append(reinterpret_cast<const char*>(bytes), n);
                              return true;
                            }) == PatchResult::Ok);
    FUZZ_CHECK(back == out);
  }
  return 0;
}
