// The install journal as a crash may leave it: read whole or not at all, and
// what it renders reads back the same.
#include "FuzzCheck.h"
#include "engine/install/InstallJournal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::optional<InstallJournal> journal = ParseJournal(std::string(AsText(data, size)));
  if (!journal) return 0;
  for (const JournalModule& module : journal->modules)
    FUZZ_CHECK(!module.name.empty() && module.name.find_first_of("\\/:") == std::string::npos);
  const std::string text = RenderJournal(*journal);
  const std::optional<InstallJournal> again = ParseJournal(text);
  FUZZ_CHECK(again && RenderJournal(*again) == text);
  return 0;
}
