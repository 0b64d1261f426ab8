// The signed part of a release: a section of the manifest that readers of
// the fingerprints ignore, holding the release number and, per catalogue
// module, its SHA-256 and size, and the SHA-256 of the release notes. A
// detached signature of the manifest's exact bytes lies beside it on the server.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

constexpr char kSignedSection[] = "SignedRelease";
// ECDSA P-256 over SHA-256 of the manifest's bytes: r then s, 32 bytes each.
constexpr char kSignatureFileName[] = "ModelMD5.sig";
constexpr size_t kSignatureSize = 64;
// The manifest is a few lines of text: no server may send more.
constexpr int64_t kManifestMaxBytes = 1 << 20;
// In the install folder: the number of the last signed release installed.
constexpr char kReleaseNumberFile[] = "ReleaseNumber.ini";

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
  std::map<std::string, SignedFile> modules;  // by the module's base name, as in the manifest
  std::optional<SignedFile> updater;          // the updater's own program, when the release carries one
};

// The section as the release tool writes it, CR LF line ends.
std::string SignedSectionText(const SignedRelease& release);

// The section read back from the manifest's bytes; nothing when it is absent
// or any of its values is malformed, or a catalogue module is missing from it.
std::optional<SignedRelease> ParseSignedRelease(const std::string& manifestText);

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
