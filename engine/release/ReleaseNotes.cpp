#include "engine/release/ReleaseNotes.h"

#include <algorithm>
#include <optional>

#include "engine/install/InstallPaths.h"
#include "engine/crypto/Sha256.h"
#include "engine/release/Manifest.h"
#include "engine/release/ReleaseTrust.h"
#include "engine/transfer/SmallFetch.h"
#include "framework/Paths.h"
#include "engine/run/SupportLog.h"

namespace {

// The window waits for the notes: whatever the server sends, they are a few
// seconds and at most a megabyte.
constexpr int64_t kNotesMaxBytes = 1 << 20;
constexpr int kNotesTimeoutMs = 5000;
constexpr int kNotesDeadlineMs = 8000;
constexpr char kNotesLocalName[] = "UpdateContent.dat";

// True when the server's signed manifest vouches for these notes: the same
// manifest and signature a run checks, fetched within what is left of the
// notes' bound (it ends at tick `until`).
bool NotesAreSigned(const std::string& notes, const std::wstring& folder, const std::string& serverBase,
                    const std::vector<std::string>& keys, ULONGLONG until) {
  int left = MsUntil(until);
  if (left == 0) return false;
  const SmallFile manifest(serverBase + kManifestFileName, folder + kManifestLocalName,
                           {kManifestMaxBytes, std::min(kNotesTimeoutMs, left), left, false});
  left = MsUntil(until);
  if (!manifest.ok() || left == 0) return false;
  const std::optional<VerifiedManifest> verified =
      FetchVerifiedRelease(serverBase, folder, manifest.bytes(), keys, std::min(kNotesTimeoutMs, left), left);
  // Only notes of a release the run may install: not below what was trusted before.
  return verified && !verified->release().notesSha256.empty() &&
         Sha256OfBytes(notes) == verified->release().notesSha256 &&
         TrustRelease(folder, keys, *verified, manifest.bytes(), "notes", false);
}

}  // namespace

std::string FetchReleaseNotes(const std::vector<std::string>& bases, const std::wstring& folder,
                              const std::vector<std::string>& releaseKeys) {
  // One bound for the whole step, every base and the signed manifest together: the window waits for it.
  const ULONGLONG until = ::GetTickCount64() + kNotesDeadlineMs;
  FetchBounds bounds{kNotesMaxBytes, kNotesTimeoutMs, kNotesDeadlineMs};
  bounds.allBasesDeadlineMs = kNotesDeadlineMs;
  const FirstAnswer file = FetchFromFirstAnswering(bases, kReleaseNotesFileName, PathIn(folder, kNotesLocalName), bounds);
  if (!file.ok()) {
    SupportLog(folder, "notes: not fetched: result %u", file.code);
    return {};
  }
  std::string notes;
  if (releaseKeys.empty() || NotesAreSigned(file.bytes, folder, file.base, releaseKeys, until))
    notes = ReleaseNotesFromFileBytes(file.bytes);
  SupportLog(folder, "notes: %u bytes%s", static_cast<unsigned>(file.bytes.size()),
             notes.empty() && !file.bytes.empty() ? ", not shown: they are not the signed ones" : "");
  return notes;
}
