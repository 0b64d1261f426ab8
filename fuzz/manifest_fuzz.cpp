// The manifest, every section: parsing never fails, what it writes back reads
// the same, and every decision taken on it ends.
#include "FuzzCheck.h"
#include "engine/release/Manifest.h"
#include "engine/release/Rollout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Manifest manifest = Manifest::Parse(AsText(data, size));
  const std::string text = manifest.Text();
  FUZZ_CHECK(Manifest::Parse(text).Text() == text);

  std::array<bool, kModuleCount> installed{};
  ManifestShortfall(manifest, installed, true);
  installed.fill(true);
  ManifestShortfall(manifest, installed, false);
  for (int row = 0; row < kModuleCount; ++row) {
    FUZZ_CHECK(IsPlainServerName(manifest.files.ModuleName(row)));
    FUZZ_CHECK(IsPlainServerName(manifest.files.DeflatedName(row)));
  }
  FUZZ_CHECK(manifest.mirrors.size() <= static_cast<size_t>(kMaxMirrors));
  for (const char* base : {"http://updates.example/", "https://updates.example/"})
    for (bool keyed : {false, true}) {
      std::vector<std::string> candidates{base};
      candidates.insert(candidates.end(), manifest.mirrors.begin(), manifest.mirrors.end());
      const std::vector<std::string> bases = AllowedBases(base, candidates, keyed);
      FUZZ_CHECK(!bases.empty() && bases.front() == base);
      for (const std::string& allowed : bases) FUZZ_CHECK(base[4] != 's' || allowed.rfind("https://", 0) == 0);
    }

  FUZZ_CHECK(ReleaseContentId(manifest).size() == 8);
  const int bucket = RolloutBucket("00112233445566778899aabbccddeeff", manifest);
  FUZZ_CHECK(bucket >= 0 && bucket < 100);
  UpdatePolicy pinned;
  pinned.maxRelease = 5;
  for (int32_t mode = 1; mode <= 3; ++mode) {
    DecideOffer(mode, manifest, bucket, UpdatePolicy(), false);
    DecideOffer(mode, manifest, kNoBucket, pinned, true);
  }
  return 0;
}
