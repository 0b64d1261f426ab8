// The probation's records as a stop or another program may leave them:
// "Probation.ini" read whole or not at all, "Reverted.ini" always read; what
// either writes reads back the same.
#include "FuzzCheck.h"
#include "engine/install/Probation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (const std::optional<ProbationRecord> record = ProbationRecord::Parse(AsText(data, size))) {
    for (const auto& [name, digest] : record->previous)
      FUZZ_CHECK(name.find_first_of("\\/:") == std::string::npos && (digest.empty() || digest.size() == 32));
    const std::string text = record->Text();
    const std::optional<ProbationRecord> again = ProbationRecord::Parse(text);
    FUZZ_CHECK(again && again->Text() == text);
  }
  const RevertedRelease reverted = RevertedRelease::Parse(AsText(data, size));
  FUZZ_CHECK(RevertedRelease::Parse(reverted.Text()).Text() == reverted.Text());
  return 0;
}
