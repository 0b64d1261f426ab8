// Profile text as the updater reads it from files it did not write whole
// ("ReleaseNumber.ini" among them): every value within the profile's bound,
// every number a number.
#include "FuzzCheck.h"
#include "engine/release/IniText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const IniText ini = IniText::Parse(AsText(data, size));
  for (const char* key : {"Number", "Trusted"}) {
    const std::optional<std::string> value = ini.ProfileValue("Release", key);
    FUZZ_CHECK(!value || value->size() <= kProfileValueMax);
    const int64_t number = DecimalValue(value);
    FUZZ_CHECK(number >= -1);
  }
  for (const IniSection& section : ini.Sections()) {
    section.HasRepeatedKey();
    for (const IniEntry& entry : section.entries) FUZZ_CHECK(section.Find(entry.key) != nullptr);
  }
  IniText::Parse(ini.Text());
  return 0;
}
