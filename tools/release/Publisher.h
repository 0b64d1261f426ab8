// Turns a folder of built modules, laid out as installed, into the folder an
// update server serves: every file under a name of its content (which a
// cache may keep for a year), the same files under their fixed remote names
// for updaters that read only those, the release notes, and the entry points
// last: the signature, then the manifest.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct PublishOptions {
  std::filesystem::path buildDir;
  std::filesystem::path serverDir;
  std::filesystem::path notesFile;  // empty: no release notes
  // A folder published earlier: modules absent from the build are carried
  // over from it unchanged, so that the manifest still covers every module.
  std::filesystem::path carryOverDir;
  // Given a private key: the manifest gains the signed section (release
  // number, SHA-256 and size of every file) and ModelMD5.sig its signature.
  std::filesystem::path signKey;
  int64_t releaseNumber = -1;
  // Signed releases only: the release expires this many days after
  // publishing (0: never); a keyed updater then refuses it as frozen.
  int64_t expiresDays = 0;
  int64_t now = 0;  // seconds since 1970; 0: the clock's
  // Folders published earlier: for every module that differs from an
  // earlier release's, a patch from that file is published too (where it
  // saves a tenth of the module deflated).
  std::vector<std::filesystem::path> deltaFrom;
  // The rollout's stage to start the release at (0 to 100); -1: offered to all.
  int rolloutPercent = -1;
  // Seconds the product must run on the release before the previous one
  // goes (a keyed updater takes it from a signed release); -1: the default.
  int probationSeconds = -1;
  // Other bases that serve the same folder, listed in the manifest in order.
  std::vector<std::string> mirrors;
  // The files named by content of this many publishes into the folder stay
  // (this one included), so that a client holding an earlier manifest still
  // finds what it lists; older ones are removed. 0: none is removed.
  int keepReleases = 3;
  // Progress lines for large builds (one per module made), or none.
  std::function<void(const std::string&)> progress;
};

struct PublishResult {
  bool ok = false;
  std::vector<std::string> published;    // remote names
  std::vector<std::string> carriedOver;  // remote names taken from the earlier release
  std::vector<std::string> missing;      // local names found neither in the build nor carried over
  std::vector<std::string> errors;     // everything that stopped or spoiled the run
  std::vector<std::string> warnings;   // what the release team should know, but publishes
  bool updater = false;                // the build's Updater.exe was published with the modules
  bool service = false;                // and its UpdaterService.exe
  std::vector<std::string> patches;    // the patch files published
  std::vector<std::string> pruned;     // files of earlier publishes removed
  int64_t wholeBytes = 0, compressedBytes = 0, patchBytes = 0;
};

PublishResult Publish(const PublishOptions& options);

// A file's bytes whole, for the tool's commands; `ok` false when it could not be read.
std::string ReadFileBytes(const std::filesystem::path& path, bool& ok);
bool WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);
// Writes the file under a temporary name and renames it over `path`, so that
// a server never serves half of it; false when either step failed.
bool ReplaceWhole(const std::filesystem::path& path, const std::string& bytes);

// Checks a published folder as a keyed updater does: the signature of the
// manifest with `publicKey`, the release number, and every module's and the
// notes' SHA-256, size and fingerprint. Empty when all is well; otherwise
// one line per problem.
// The deflated modules and the patches are checked too: each patch is
// applied to its source, found by its SHA-256 among the modules of
// `earlier` (published earlier), and must give the module byte for byte.
std::vector<std::string> VerifyPublished(const std::filesystem::path& serverDir,
                                         const std::filesystem::path& publicKey, int64_t now = 0,
                                         const std::vector<std::filesystem::path>& earlier = {});

// The name a file is served under by its content: `fixedName` with the
// first 16 hexadecimal digits of its SHA-256 before the extension
// ("Velkor.dll" -> "Velkor.<16 digits>.dll", "Velkor.dll.z" ->
// "Velkor.<16 digits>.dll.z").
std::string ContentName(const std::string& fixedName, const std::string& sha256);

// Where a publish records the files it named by content, one line per publish.
constexpr char kPublishedListName[] = "PublishedFiles.txt";

// For an installer: writes the kept release of the published folder (its
// signature, then its manifest; engine/release/ReleaseTrust.h) into `installDir`,
// after checking the signature with `publicKey`, so that a fresh
// installation starts with its own release as the floor. Empty when all is
// well; otherwise what is wrong.
std::vector<std::string> KeepForInstaller(const std::filesystem::path& serverDir,
                                          const std::filesystem::path& publicKey,
                                          const std::filesystem::path& installDir);

// Sets the rollout's stage of the release published in `serverDir` to
// `percent` (0 halts it): a new manifest with the same modules, ways and
// notes, and, for a signed release, the next release number, signed again
// with `signKey` (so that the trust rules still hold and a halt cannot be
// undone by replaying the older manifest). What is signed anew must verify
// with that key first: a folder whose manifest or signature does not check,
// or a signed one without a key, is refused with nothing written. The
// signature goes first, the manifest last. Empty when all is well; otherwise
// what is wrong.
std::vector<std::string> SetRollout(const std::filesystem::path& serverDir, int percent,
                                    const std::filesystem::path& signKey, std::string& summary);

// The stage of the release published in `serverDir`, as one line.
std::vector<std::string> RolloutStatus(const std::filesystem::path& serverDir, std::string& summary);
