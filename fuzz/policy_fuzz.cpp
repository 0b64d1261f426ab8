// An administrator's policy values, of any type and content.
#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzCheck.h"
#include "engine/run/Policy.h"

namespace {

PolicyValues Values(FuzzedDataProvider& input) {
  static const char* const kNames[] = {"UpdatesEnabled", "BackgroundEnabled", "MaxRelease", "ServerBase",
                                       "RolloutOverride", "ReportOutcomes", "Other"};
  PolicyValues values;
  for (int n = input.ConsumeIntegralInRange(0, 8); n > 0; --n) {
    PolicyValue& value = values[kNames[input.ConsumeIntegralInRange<size_t>(0, 6)]];
    value.type = static_cast<PolicyValue::Type>(input.ConsumeIntegralInRange(0, 2));
    value.number = input.ConsumeIntegral<uint32_t>();
    value.text = input.ConsumeRandomLengthString(300);
  }
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const PolicyValues machine = Values(input), user = Values(input);
  const std::string block = input.ConsumeRandomLengthString(260);
  std::vector<std::string> notes;
  const UpdatePolicy policy = ResolvePolicy(machine, user, block, notes);
  FUZZ_CHECK(!policy.rolloutOverride || (*policy.rolloutOverride >= 0 && *policy.rolloutOverride <= 100));
  FUZZ_CHECK(!policy.maxRelease || (*policy.maxRelease >= 0 && *policy.maxRelease <= kMaxReleaseNumber));
  return 0;
}
