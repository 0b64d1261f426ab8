// The signed part of a release (the manifest's signed section,
// engine/release/Manifest.h): the release number and, per module, its
// SHA-256 and size, and the SHA-256 of the release notes; and how a keyed
// updater judges a release whose signature verified.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// Release numbers, everywhere (the signed section, the release tool, the
// outcome report, the policy's MaxRelease, a DWORD): 0 to 2^32 - 1.
constexpr int64_t kMaxReleaseNumber = 0xFFFFFFFFLL;

struct SignedFile {
  std::string sha256;  // 64 lower-case hexadecimal digits
  int64_t size = -1;
};

struct SignedRelease {
  int64_t number = -1;
  // Seconds since 1970 (UTC) after which the release may no longer be
  // offered as the newest one; 0: it never expires.
  int64_t expires = 0;
  std::string notesSha256;                    // empty when the release has no notes
  std::map<std::string, SignedFile> modules;  // by the module's base name, as in the catalogue
  std::optional<SignedFile> updater;          // the updater's own program, when the release carries one
  std::optional<SignedFile> service = {};     // the update service's program, likewise
};

// How a keyed updater judges a release whose signature verified, against
// the newest one it has trusted so far (kept beside the install) and the
// number it recorded.
enum class TrustVerdict {
  Keep,                  // newer than anything trusted: it becomes the floor
  Same,                  // the very release kept (same number, same bytes)
  Older,                 // a lower number than the floor
  SameNumberOtherBytes,  // the floor's number with other contents
  Expired,               // past its expiry, a day of clock skew allowed
};
struct KeptManifest {
  int64_t number;
  std::string bytes;
};
// `recordedFloor` counts only where no kept manifest is known (-1: none).
TrustVerdict JudgeRelease(const SignedRelease& offered, const std::string& bytes,
                          const std::optional<KeptManifest>& kept, int64_t recordedFloor, int64_t now);
constexpr int64_t kClockSkewSeconds = 24 * 60 * 60;

// True for 64 hexadecimal digits.
bool IsWellFormedSha256(const std::string& text);
