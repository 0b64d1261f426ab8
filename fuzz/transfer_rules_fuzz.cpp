// What the download library decides from a server's headers: ranges,
// redirects, validators and the pace of reads.
#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzCheck.h"
#include "fetchkit/TransferRules.h"

using namespace fetchkit;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string rangeText = input.ConsumeRandomLengthString(128);
  const std::optional<ContentRange> range = ParseContentRange(rangeText);
  if (range) {
    FUZZ_CHECK(range->total >= -1);
    if (range->first >= 0) FUZZ_CHECK(range->first <= range->last && (range->total < 0 || range->last < range->total));
  }

  ResponseFacts facts;
  facts.status = input.ConsumeIntegral<int>();
  facts.localSize = input.ConsumeIntegral<int64_t>();
  facts.rangeRequested = input.ConsumeBool();
  facts.contentRange = range;
  facts.hasLocation = input.ConsumeBool();
  const ResponsePlan plan = PlanResponse(facts);
  if (plan == ResponsePlan::Append) FUZZ_CHECK(facts.rangeRequested && range && range->first == facts.localSize);

  const uint32_t floor = input.ConsumeIntegralInRange<uint32_t>(1, 1 << 20);
  const uint32_t ceiling = input.ConsumeIntegralInRange<uint32_t>(floor, 1 << 24);
  const uint32_t next = NextReadSize(input.ConsumeIntegral<uint32_t>(), input.ConsumeIntegral<uint32_t>(),
                                     input.ConsumeIntegral<uint32_t>(), floor, ceiling);
  FUZZ_CHECK(next >= floor && next <= ceiling);

  const std::string etag = input.ConsumeRandomLengthString(64);
  const std::string lastModified = input.ConsumeRandomLengthString(64);
  const std::string validator = RangeValidator(etag, lastModified);
  FUZZ_CHECK(validator.empty() || validator == etag || validator == lastModified);

  const std::string base = input.ConsumeRandomLengthString(256);
  const std::string location = input.ConsumeRemainingBytesAsString();
  const std::string target = ResolveRedirect(base, location);
  IsDowngrade(base, target);
  if (base.rfind("https://", 0) == 0 && target.rfind("http://", 0) == 0) FUZZ_CHECK(IsDowngrade(base, target));
  return 0;
}
