// The pre-load marker as a crash or another program may leave it.
#include "FuzzCheck.h"
#include "engine/install/PreloadMarker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const PreloadMarker marker = PreloadMarker::Parse(AsText(data, size));
  const PreloadMarker again = PreloadMarker::Parse(marker.Text());
  FUZZ_CHECK(again.ready == marker.ready && again.manifestSha256 == marker.manifestSha256 &&
             again.release == marker.release && again.content == marker.content);
  return 0;
}
