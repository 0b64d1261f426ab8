// The release notes' text rules: whatever the file holds, the text is lines
// each ending CR LF, with nothing after an end-of-file byte.
#include "FuzzCheck.h"
#include "engine/release/ReleaseNotes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = ReleaseNotesFromFileBytes(std::string(AsText(data, size)));
  FUZZ_CHECK(text.find('\x1a') == std::string::npos);
  FUZZ_CHECK(text.empty() || text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
  for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', lf + 1))
    FUZZ_CHECK(lf > 0 && text[lf - 1] == '\r');
  return 0;
}
