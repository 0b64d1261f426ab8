#include "engine/release/Rollout.h"

#include <algorithm>
#include <cstdio>

#include "engine/release/ModuleDigest.h"
#include "engine/run/UpdateMode.h"

namespace {

// FNV-1a over the bytes, then SplitMix64's finaliser: every input bit
// reaches every output bit, so the buckets spread evenly.
uint64_t Mix(uint64_t h) {
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ULL;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebULL;
  return h ^ (h >> 31);
}

void Add(uint64_t& h, const std::string& bytes) {
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  h ^= 0xff;  // a separator no hexadecimal text holds
  h *= 0x100000001b3ULL;
}

void AddModules(uint64_t& h, const Manifest& manifest) {
  for (const std::optional<std::string>& fingerprint : manifest.fingerprints)
    Add(h, LowerCaseDigest(fingerprint.value_or(std::string())));
  Add(h, LowerCaseDigest(manifest.updaterFingerprint.value_or(std::string())));
}

}  // namespace

int RolloutBucket(const std::string& identity, const Manifest& manifest) {
  uint64_t h = 0xcbf29ce484222325ULL;
  Add(h, identity);
  AddModules(h, manifest);
  return static_cast<int>(Mix(h) % 100);
}

std::string ReleaseContentId(const Manifest& manifest) {
  uint64_t h = 0xcbf29ce484222325ULL;
  AddModules(h, manifest);
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(Mix(h) >> 32));
  return text;
}

Offer DecideOffer(int32_t mode, const Manifest& manifest, int bucket, const UpdatePolicy& policy, bool stageUndecided) {
  Offer offer;
  offer.release = manifest.signedRelease ? manifest.signedRelease->number : -1;
  offer.content = ReleaseContentId(manifest);
  if (policy.maxRelease && offer.release > *policy.maxRelease) {
    offer.offered = false;
    offer.pinnedAt = *policy.maxRelease;
    offer.why = "release " + std::to_string(offer.release) + " is above the policy's MaxRelease " +
                std::to_string(*policy.maxRelease);
    return offer;
  }
  const int percent = manifest.rolloutPercent.value_or(100);
  if (mode == ModeMandatory || percent >= 100) return offer;
  const int b = policy.rolloutOverride.value_or(bucket);
  offer.bucket = b;
  offer.stagePercent = percent;
  offer.why = "the rollout is at " + std::to_string(percent) + " %, this installation's bucket is " +
              std::to_string(b) + (policy.rolloutOverride ? " (the policy's RolloutOverride)" : "");
  offer.offered = b < percent;
  if (!offer.offered && stageUndecided && !offer.Halted()) {
    offer.offered = true;
    offer.why += "; offered all the same: the window offered it, its start check could not decide";
  }
  return offer;
}
