// The kept release ("KeptRelease.dat": a 64-byte signature, then the
// manifest's bytes) and its signed section, judged as the trust floor.
#include "FuzzCheck.h"
#include "engine/release/Manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kSignatureSize) return 0;
  const std::string bytes(AsText(data + kSignatureSize, size - kSignatureSize));
  const Manifest manifest = Manifest::Parse(bytes);
  if (!manifest.signedRelease) return 0;
  const SignedRelease& release = *manifest.signedRelease;
  FUZZ_CHECK(release.number >= 0 && release.number <= kMaxReleaseNumber);

  // The signed section as written reads back as the same release.
  const std::string section = SignedSectionText(release);
  const std::optional<SignedRelease> again = Manifest::Parse(section).signedRelease;
  FUZZ_CHECK(again && SignedSectionText(*again) == section);

  const KeptManifest kept{release.number, bytes};
  const int64_t now = release.expires > 0 ? release.expires : 1700000000;
  FUZZ_CHECK(JudgeRelease(release, bytes, kept, -1, now) == TrustVerdict::Same);
  FUZZ_CHECK(JudgeRelease(release, bytes + " ", kept, -1, now) == TrustVerdict::SameNumberOtherBytes);
  SignedRelease newer = release;
  ++newer.number;
  FUZZ_CHECK(JudgeRelease(newer, bytes, kept, -1, now) == TrustVerdict::Keep);
  FUZZ_CHECK(JudgeRelease(release, bytes, std::nullopt, release.number + 1, now) == TrustVerdict::Older);
  if (release.expires > 0)
    FUZZ_CHECK(JudgeRelease(release, bytes, kept, -1, release.expires + kClockSkewSeconds + 1) ==
               TrustVerdict::Expired);
  return 0;
}
