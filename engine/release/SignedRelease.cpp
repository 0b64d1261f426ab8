#include "engine/release/SignedRelease.h"

#include <cctype>

bool IsWellFormedSha256(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

TrustVerdict JudgeRelease(const SignedRelease& offered, const std::string& bytes,
                          const std::optional<KeptManifest>& kept, int64_t recordedFloor, int64_t now) {
  if (offered.expires > 0 && now > offered.expires + kClockSkewSeconds) return TrustVerdict::Expired;
  if (!kept) return offered.number < recordedFloor ? TrustVerdict::Older : TrustVerdict::Keep;
  if (offered.number < kept->number) return TrustVerdict::Older;
  if (offered.number > kept->number) return TrustVerdict::Keep;
  return bytes == kept->bytes ? TrustVerdict::Same : TrustVerdict::SameNumberOtherBytes;
}
