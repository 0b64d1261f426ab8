#include "Publisher.h"

#include <cctype>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>

#include "DeltaMaker.h"
#include "Signing.h"
#include "engine/transfer/DeltaPatch.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/release/ModuleDigest.h"
#include "engine/release/Manifest.h"


namespace fs = std::filesystem;

std::string ReadFileBytes(const fs::path& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ok = in.is_open() && !in.bad();
  return bytes;
}

bool WriteFileBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

bool ReplaceWhole(const fs::path& path, const std::string& bytes) {
  const fs::path partial = path.string() + ".partial";
  std::error_code ec;
  if (!WriteFileBytes(partial, bytes)) {
    fs::remove(partial, ec);
    return false;
  }
  fs::rename(partial, path, ec);
  return !ec;
}

namespace {

// Copies through a temporary name so that a server never serves half a file.
bool CopyInto(const fs::path& from, const fs::path& to, std::string& error) {
  const fs::path partial = to.string() + ".partial";
  std::error_code ec;
  fs::copy_file(from, partial, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::rename(partial, to, ec);
  if (ec) {
    fs::remove(partial, ec);
    error = "cannot copy " + from.string() + " to " + to.string();
    return false;
  }
  return true;
}

}  // namespace

namespace {
// The first 16 hexadecimal digits of a SHA-256 name a file's content.
std::string Hex16(const std::string& sha) { return sha.substr(0, 16); }
}  // namespace

std::string ContentName(const std::string& fixedName, const std::string& sha256) {
  const size_t dot = fixedName.find('.');
  const std::string hex = Hex16(sha256);
  return dot == std::string::npos ? fixedName + "." + hex : fixedName.substr(0, dot) + "." + hex + fixedName.substr(dot);
}

namespace {

struct Found {
  const ModuleEntry* entry;
  fs::path source;
  std::string digest;
  std::string sha256;
  int64_t size = 0;
};

// What a publish lays out: the files named by content, written first, and
// the copies under fixed names made from them once all are in place.
struct Layout {
  std::vector<std::string> named;
  std::vector<std::pair<std::string, std::string>> fixed;  // from the named file, to the fixed name
};

// A file named by its content is never written twice: one already there is
// whole (each is written through a temporary name) and holds these bytes.
bool WriteNamed(const fs::path& dir, const std::string& name, const std::string& bytes, Layout& layout,
                std::string& error) {
  layout.named.push_back(name);
  std::error_code ec;
  if (fs::is_regular_file(dir / name, ec) && fs::file_size(dir / name, ec) == bytes.size()) return true;
  if (ReplaceWhole(dir / name, bytes)) return true;
  error = "cannot write " + name;
  return false;
}

// A cheaper way goes out only where it saves a tenth at least: a small
// saving is not worth the client's inflating or patching.
bool SavesATenth(size_t way, size_t other) { return way <= other / 10 * 9; }

// A name a publish made by content: a plain name with 16 hexadecimal digits
// between dots (modules, deflated modules, the updater, patches).
bool IsContentName(const std::string& name) {
  if (!IsPlainServerName(name)) return false;
  size_t run = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    run = std::isxdigit(static_cast<unsigned char>(name[i])) ? run + 1 : 0;
    if (run == 16 && i >= 16 && name[i - 16] == '.' && i + 1 < name.size() && name[i + 1] == '.') return true;
  }
  return false;
}

// Adds this publish's files to the folder's list and removes those only
// publishes older than the last `keep` named.
bool RecordAndPrune(const fs::path& dir, const std::vector<std::string>& named, int keep,
                    std::vector<std::string>& pruned, std::string& error) {
  struct Publish {
    std::string when;  // seconds since 1970
    std::vector<std::string> names;
  };
  std::vector<Publish> publishes;
  bool ok = false;
  std::istringstream lines(ReadFileBytes(dir / kPublishedListName, ok));
  for (std::string line; ok && std::getline(lines, line);) {
    std::istringstream words(line);
    Publish publish;
    words >> publish.when;
    for (std::string name; words >> name;) publish.names.push_back(name);
    if (!publish.names.empty()) publishes.push_back(publish);
  }
  publishes.push_back({std::to_string(static_cast<long long>(std::time(nullptr))), named});
  const size_t first = keep > 0 && publishes.size() > static_cast<size_t>(keep) ? publishes.size() - keep : 0;
  std::set<std::string> kept;
  std::string out;
  for (size_t i = first; i < publishes.size(); ++i) {
    kept.insert(publishes[i].names.begin(), publishes[i].names.end());
    out += publishes[i].when;
    for (const std::string& name : publishes[i].names) out += " " + name;
    out += "\n";
  }
  if (!ReplaceWhole(dir / kPublishedListName, out)) {
    error = "cannot write " + (dir / kPublishedListName).string();
    return false;
  }
  // Only names a publish made by content are ever removed, each once.
  std::error_code ec;
  for (size_t i = 0; i < first; ++i)
    for (const std::string& name : publishes[i].names)
      if (IsContentName(name) && kept.insert(name).second && fs::remove(dir / name, ec)) pruned.push_back(name);
  return true;
}

// One publish, carried through its steps.
struct Publication {
  const PublishOptions& options;
  PublishResult& result;
  std::vector<Found> found;
  Manifest manifest;
  Layout layout;
  std::optional<SignedFile> updaterFile;
  std::optional<SignedFile> serviceFile;
  std::string error;  // set by the helpers that say what went wrong

  bool Fail(std::string what) {
    result.errors.push_back(std::move(what));
    return false;
  }
  bool FailWithError() { return Fail(error); }
  const fs::path& dir() const { return options.serverDir; }
};

// The number a signed publish must exceed: the folder's signed release, when
// its signature checks with this key (a rollout raises it). -1: none.
int64_t SignedNumberInFolder(const Publication& p) {
  bool ok = false, signedOk = false;
  const std::string bytes = ReadFileBytes(p.dir() / kManifestFileName, ok);
  const std::string signature = ReadFileBytes(p.dir() / kSignatureFileName, signedOk);
  std::string error;
  if (!ok || !signedOk || !signing::VerifyWithKeyOf(p.options.signKey.string(), bytes, signature, error)) return -1;
  const std::optional<SignedRelease> release = Manifest::Parse(bytes).signedRelease;
  return release ? release->number : -1;
}

bool CheckOptions(Publication& p) {
  const PublishOptions& options = p.options;
  std::error_code ec;
  if (!fs::is_directory(options.buildDir, ec)) return p.Fail("build folder not found: " + options.buildDir.string());
  if (!options.notesFile.empty() && !fs::is_regular_file(options.notesFile, ec))
    return p.Fail("release notes not found: " + options.notesFile.string());
  if (!options.carryOverDir.empty() && !fs::is_regular_file(options.carryOverDir / kManifestFileName, ec))
    return p.Fail("no published release to carry modules over from: " + options.carryOverDir.string());
  for (const std::string& mirror : options.mirrors) {
    if (!IsMirrorBase(mirror)) return p.Fail("not a mirror base (http:// or https://, ending in /): " + mirror);
    // Unsigned, only the keyed fingerprint checks what a plain-http mirror serves.
    if (options.signKey.empty() && mirror.rfind("http://", 0) == 0)
      p.result.warnings.push_back("the mirror " + mirror + " is plain http and the release is unsigned: updaters " +
                                  "without release keys use it only when their server base is plain http too");
  }
  if (options.mirrors.size() > static_cast<size_t>(kMaxMirrors))
    return p.Fail("at most " + std::to_string(kMaxMirrors) + " mirrors");
  if (options.probationSeconds >= 0 && options.signKey.empty())
    p.result.warnings.push_back("--probation counts only in a signed release: updaters give this one the default " +
                                std::to_string(kDefaultProbationSeconds) + " s");
  if (options.signKey.empty()) return true;
  if (options.releaseNumber < 0 || options.releaseNumber > kMaxReleaseNumber)
    return p.Fail("a signed release needs --release N, from 0 to " + std::to_string(kMaxReleaseNumber));
  // Installations already trust the folder's number with its bytes: never again.
  if (const int64_t current = SignedNumberInFolder(p); current >= 0 && options.releaseNumber <= current) {
    if (current >= kMaxReleaseNumber) return p.Fail("the folder's release is the last number there is");
    return p.Fail("release " + std::to_string(options.releaseNumber) + " is not above the folder's signed release " +
                  std::to_string(current) + ": use --release " + std::to_string(current + 1) + " or higher");
  }
  return true;
}

// Every module from the build, or, for a partial build, from the earlier release.
bool FindModules(Publication& p) {
  std::error_code ec;
  for (const ModuleEntry& entry : kModuleCatalogue) {
    fs::path source = p.options.buildDir / entry.LocalName();
    if (!fs::exists(source, ec)) {
      const fs::path earlier = p.options.carryOverDir / entry.RemoteName();
      if (p.options.carryOverDir.empty() || !fs::exists(earlier, ec)) {
        p.result.missing.push_back(entry.LocalName());
        continue;
      }
      source = earlier;
      p.result.carriedOver.push_back(entry.RemoteName());
    }
    if (!fs::is_regular_file(source, ec)) {
      p.result.errors.push_back("not a file: " + source.string());
      continue;
    }
    std::string digest = ModuleDigest(source.string(), kModuleDigestKey);
    if (digest.empty()) {
      p.result.errors.push_back("cannot read " + source.string());
      continue;
    }
    p.found.push_back({&entry, source, digest, {}, 0});
  }
  if (!p.result.errors.empty()) return false;
  // A manifest without a module would make every installation fail on it: never published.
  if (p.result.missing.empty()) return true;
  std::string names;
  for (const auto& name : p.result.missing) names += (names.empty() ? "" : ", ") + name;
  return p.Fail("modules missing from the build" +
                std::string(p.options.carryOverDir.empty() ? "" : " and from the earlier release") + ": " + names);
}

// Every module under its name by content first: a cache keyed by the path
// can keep them for good, and a client that has the new manifest finds them.
bool LayOutModules(Publication& p) {
  std::error_code ec;
  fs::create_directories(p.dir(), ec);
  if (ec || !fs::is_directory(p.dir(), ec)) return p.Fail("cannot create server folder: " + p.dir().string());
  for (Found& module : p.found) {
    bool ok = false;
    const std::string bytes = ReadFileBytes(module.source, ok);
    if (!ok) return p.Fail("cannot read " + module.source.string());
    module.sha256 = signing::Sha256Hex(bytes);
    module.size = static_cast<int64_t>(bytes.size());
    const size_t row = static_cast<size_t>(module.entry - kModuleCatalogue);
    const std::string named = ContentName(module.entry->RemoteName(), module.sha256);
    if (!WriteNamed(p.dir(), named, bytes, p.layout, p.error)) return p.FailWithError();
    p.manifest.files.modules[row] = named;
    p.layout.fixed.emplace_back(named, module.entry->RemoteName());
    p.manifest.fingerprints[row] = module.digest;
    p.result.published.push_back(module.entry->RemoteName());
  }
  return true;
}

// The updater and the update service renew themselves: their programs,
// when the build holds them, go beside the modules, in sections the
// catalogue's readers ignore.
bool LayOutProgram(Publication& p, const char* fileName, std::optional<SignedFile>& signedFile,
                   std::optional<std::string>& fingerprint, std::string& contentName) {
  const fs::path source = p.options.buildDir / fileName;
  std::error_code ec;
  if (!fs::is_regular_file(source, ec)) return true;
  bool ok = false;
  const std::string bytes = ReadFileBytes(source, ok);
  const std::string digest = ModuleDigest(source.string(), kModuleDigestKey);
  if (!ok || digest.empty()) return p.Fail("cannot read " + source.string());
  signedFile = SignedFile{signing::Sha256Hex(bytes), static_cast<int64_t>(bytes.size())};
  const std::string named = ContentName(fileName, signedFile->sha256);
  if (!WriteNamed(p.dir(), named, bytes, p.layout, p.error)) return p.FailWithError();
  contentName = named;
  fingerprint = digest;
  p.layout.fixed.emplace_back(named, fileName);
  return true;
}

bool LayOutPrograms(Publication& p) {
  if (!LayOutProgram(p, kUpdaterFileName, p.updaterFile, p.manifest.updaterFingerprint, p.manifest.files.updater) ||
      !LayOutProgram(p, kServiceFileName, p.serviceFile, p.manifest.serviceFingerprint, p.manifest.files.service))
    return false;
  p.result.updater = p.updaterFile.has_value();
  p.result.service = p.serviceFile.has_value();
  return true;
}

// The module deflated, where that saves a tenth; the size of the cheapest
// way so far through `cheapest`.
bool PublishDeflated(Publication& p, const Found& module, const std::string& bytes, size_t& cheapest) {
  const size_t row = static_cast<size_t>(module.entry - kModuleCatalogue);
  const std::string deflated = DeflateBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  const std::string zName = module.entry->RemoteName() + kCompressedSuffix;
  // Some modules do not compress.
  const bool smaller = !deflated.empty() && SavesATenth(deflated.size(), bytes.size());
  cheapest = smaller ? deflated.size() : bytes.size();
  p.result.wholeBytes += static_cast<int64_t>(bytes.size());
  p.result.compressedBytes += static_cast<int64_t>(cheapest);
  std::error_code ec;
  if (!smaller) {
    fs::remove(p.dir() / zName, ec);
    return true;
  }
  const std::string zSha = signing::Sha256Hex(deflated);
  const std::string named = ContentName(zName, zSha);
  if (!WriteNamed(p.dir(), named, deflated, p.layout, p.error)) return p.FailWithError();
  p.manifest.files.deflated[row] = named;
  p.layout.fixed.emplace_back(named, zName);
  p.manifest.compressed[row] = CompressedEntry{zSha, static_cast<int64_t>(deflated.size()), static_cast<int64_t>(bytes.size())};
  return true;
}

// A patch from each earlier release's file, where it saves a tenth of `cheapest`.
bool PublishPatches(Publication& p, const Found& module, const std::string& bytes, size_t cheapest) {
  const size_t row = static_cast<size_t>(module.entry - kModuleCatalogue);
  const std::string targetSha = signing::Sha256Hex(bytes);
  for (const fs::path& earlier : p.options.deltaFrom) {
    bool had = false;
    const std::string previous = ReadFileBytes(earlier / module.entry->RemoteName(), had);
    if (!had || previous == bytes) continue;
    const std::string patch = MakePatch(previous, bytes);
    const std::string sourceSha = signing::Sha256Hex(previous);
    if (p.options.progress)
      p.options.progress(module.entry->RemoteName() + ": " + std::to_string(bytes.size()) + " bytes, cheapest " +
                         std::to_string(cheapest) + ", patch from " + earlier.filename().string() + " " +
                         std::to_string(patch.size()));
    if (patch.empty() || !SavesATenth(patch.size(), cheapest)) continue;
    const std::string name = module.entry->RemoteName() + "." + Hex16(sourceSha) + "." + Hex16(targetSha) + kPatchSuffix;
    if (!WriteNamed(p.dir(), name, patch, p.layout, p.error)) return p.FailWithError();
    p.manifest.patches[row].push_back(PatchEntry{
        name, signing::Sha256Hex(patch), static_cast<int64_t>(patch.size()), sourceSha,
        ModuleDigestOfBytes(reinterpret_cast<const uint8_t*>(previous.data()), static_cast<int32_t>(previous.size()),
                            kModuleDigestKey),
        static_cast<int64_t>(bytes.size())});
    p.result.patches.push_back(name);
    p.result.patchBytes += static_cast<int64_t>(patch.size());
  }
  return true;
}

// Cheaper ways to the same modules, in sections the catalogue's readers
// ignore: each module deflated, and patches from earlier releases.
bool PublishCheaperWays(Publication& p) {
  for (const Found& module : p.found) {
    bool ok = false;
    const std::string bytes = ReadFileBytes(module.source, ok);
    if (!ok) return p.Fail("cannot read " + module.source.string());
    size_t cheapest = bytes.size();
    if (!PublishDeflated(p, module, bytes, cheapest) || !PublishPatches(p, module, bytes, cheapest)) return false;
  }
  return true;
}

// The fixed names, for updaters that read only those.
bool WriteFixedNames(Publication& p) {
  for (const auto& [named, fixed] : p.layout.fixed)
    if (!CopyInto(p.dir() / named, p.dir() / fixed, p.error)) return p.FailWithError();
  std::error_code ec;
  if (!p.updaterFile) fs::remove(p.dir() / kUpdaterFileName, ec);
  if (!p.serviceFile) fs::remove(p.dir() / kServiceFileName, ec);
  return true;
}

// The signed section and its signature, written before the manifest.
bool SignRelease(Publication& p) {
  const PublishOptions& options = p.options;
  SignedRelease release;
  release.number = options.releaseNumber;
  if (options.expiresDays > 0)
    release.expires =
        (options.now ? options.now : static_cast<int64_t>(std::time(nullptr))) + options.expiresDays * 24 * 60 * 60;
  release.updater = p.updaterFile;
  release.service = p.serviceFile;
  for (const Found& module : p.found) release.modules[module.entry->baseName] = {module.sha256, module.size};
  if (!options.notesFile.empty()) {
    int64_t size = 0;
    signing::Sha256OfFile((p.dir() / kReleaseNotesFileName).string(), release.notesSha256, size);
  }
  p.manifest.signedRelease = release;
  std::string signature;
  if (!signing::Sign(options.signKey.string(), p.manifest.Text(), signature, p.error)) return p.FailWithError();
  if (!ReplaceWhole(p.dir() / kSignatureFileName, signature))
    return p.Fail("cannot write " + (p.dir() / kSignatureFileName).string());
  return true;
}

// The entry points last: the notes, the signature, the manifest, so that a
// client never sees digests of files not yet there.
bool WriteEntryPoints(Publication& p) {
  const PublishOptions& options = p.options;
  if (!options.notesFile.empty() && !CopyInto(options.notesFile, p.dir() / kReleaseNotesFileName, p.error))
    return p.FailWithError();
  if (options.rolloutPercent >= 0) p.manifest.rolloutPercent = options.rolloutPercent;
  if (options.probationSeconds >= 0) p.manifest.probationSeconds = options.probationSeconds;
  p.manifest.mirrors = options.mirrors;
  std::error_code ec;
  if (!options.signKey.empty()) {
    if (!SignRelease(p)) return false;
  } else {
    // An unsigned release has no signature: a stale one would fail every keyed updater.
    fs::remove(p.dir() / kSignatureFileName, ec);
  }
  if (!ReplaceWhole(p.dir() / kManifestFileName, p.manifest.Text()))
    return p.Fail("cannot write " + (p.dir() / kManifestFileName).string());
  return true;
}

bool Prune(Publication& p) {
  return RecordAndPrune(p.dir(), p.layout.named, p.options.keepReleases, p.result.pruned, p.error) || p.FailWithError();
}

}  // namespace

PublishResult Publish(const PublishOptions& options) {
  PublishResult result;
  Publication p{options, result, {}, {}, {}, {}, {}, {}};
  result.ok = CheckOptions(p) && FindModules(p) && LayOutModules(p) && LayOutPrograms(p) && PublishCheaperWays(p) &&
              WriteFixedNames(p) && WriteEntryPoints(p) && Prune(p);
  return result;
}
std::vector<std::string> VerifyCheaperWays(const fs::path& serverDir, const std::string& bytes, const Manifest& manifest,
                                           const std::vector<fs::path>& earlier);

std::vector<std::string> VerifyPublished(const fs::path& serverDir, const fs::path& publicKey, int64_t now,
                                         const std::vector<fs::path>& earlier) {
  std::vector<std::string> problems;
  bool ok = false;
  const std::string bytes = ReadFileBytes(serverDir / kManifestFileName, ok);
  if (!ok) return {"no manifest " + (serverDir / kManifestFileName).string()};
  const std::string signature = ReadFileBytes(serverDir / kSignatureFileName, ok);
  std::string error;
  if (!ok)
    problems.push_back("no signature " + (serverDir / kSignatureFileName).string());
  else if (!signing::Verify(publicKey.string(), bytes, signature, error))
    problems.push_back(error);
  const Manifest manifest = Manifest::Parse(bytes);
  const std::optional<SignedRelease>& release = manifest.signedRelease;
  if (!release) {
    problems.push_back("the manifest has no well-formed [" + std::string(kSignedSection) + "] section");
    return problems;
  }
  for (int i = 0; i < kModuleCount; ++i) {
    const ModuleEntry& row = kModuleCatalogue[i];
    const fs::path file = serverDir / row.RemoteName();
    const auto expected = release->modules.find(row.baseName);
    std::string sha;
    int64_t size = 0;
    if (!signing::Sha256OfFile(file.string(), sha, size)) {
      problems.push_back(row.RemoteName() + ": missing or unreadable");
      continue;
    }
    if (expected == release->modules.end())
      problems.push_back(row.RemoteName() + ": not in the signed section");
    else if (size != expected->second.size)
      problems.push_back(row.RemoteName() + ": " + std::to_string(size) + " bytes, signed as " +
                         std::to_string(expected->second.size));
    else if (sha != expected->second.sha256)
      problems.push_back(row.RemoteName() + ": SHA-256 differs from the signed one");
    if (LowerCaseDigest(manifest.fingerprints[i].value_or(std::string())) != ModuleDigest(file.string(), kModuleDigestKey))
      problems.push_back(row.RemoteName() + ": fingerprint differs from the manifest's");
  }
  if (release->expires > 0 && (now ? now : static_cast<int64_t>(std::time(nullptr))) > release->expires)
    problems.push_back("the release expired at " + std::to_string(release->expires) +
                       " (seconds since 1970): publish it again with a higher number and a new expiry");
  // The updater's and the service's own programs, when the release carries them.
  auto program = [&](const char* fileName, const std::optional<SignedFile>& signedFile,
                     const std::optional<std::string>& fingerprint) {
    const fs::path path = serverDir / fileName;
    const bool has = fs::is_regular_file(path);
    if (has != signedFile.has_value() || has != fingerprint.has_value()) {
      problems.push_back(has ? std::string(fileName) + " present but not listed and signed"
                             : std::string("a signed ") + fileName + " is missing");
      return;
    }
    if (!has) return;
    std::string sha;
    int64_t size = 0;
    signing::Sha256OfFile(path.string(), sha, size);
    if (size != signedFile->size || sha != signedFile->sha256)
      problems.push_back(std::string(fileName) + ": SHA-256 or size differs from the signed ones");
    if (LowerCaseDigest(*fingerprint) != ModuleDigest(path.string(), kModuleDigestKey))
      problems.push_back(std::string(fileName) + ": fingerprint differs from the manifest's");
  };
  program(kUpdaterFileName, release->updater, manifest.updaterFingerprint);
  program(kServiceFileName, release->service, manifest.serviceFingerprint);
  const fs::path notes = serverDir / kReleaseNotesFileName;
  std::string notesSha;
  int64_t notesSize = 0;
  const bool hasNotes = signing::Sha256OfFile(notes.string(), notesSha, notesSize);
  if (hasNotes != !release->notesSha256.empty())
    problems.push_back(hasNotes ? "release notes present but not signed" : "signed release notes missing");
  else if (hasNotes && notesSha != release->notesSha256)
    problems.push_back(std::string(kReleaseNotesFileName) + ": SHA-256 differs from the signed one");
  for (const std::string& p : VerifyCheaperWays(serverDir, bytes, manifest, earlier)) problems.push_back(p);
  // The names by content serve what the fixed names serve, which is checked above.
  auto same = [&](const std::string& named, const std::string& fixed) {
    if (named.empty()) return;
    bool a = false, b = false;
    const std::string left = ReadFileBytes(serverDir / named, a), right = ReadFileBytes(serverDir / fixed, b);
    if (!a || !b || left != right) problems.push_back(named + ": not the bytes of " + fixed);
  };
  for (int i = 0; i < kModuleCount; ++i) {
    same(manifest.files.modules[i], kModuleCatalogue[i].RemoteName());
    same(manifest.files.deflated[i], kModuleCatalogue[i].RemoteName() + kCompressedSuffix);
  }
  same(manifest.files.updater, kUpdaterFileName);
  same(manifest.files.service, kServiceFileName);
  return problems;
}

std::vector<std::string> VerifyCheaperWays(const fs::path& serverDir, const std::string& bytes, const Manifest& manifest,
                                           const std::vector<fs::path>& earlier) {
  std::vector<std::string> problems;
  // Lines the updater would pass over: they name no module or do not read as a way.
  const IniText ini = IniText::Parse(bytes);
  size_t deflatedListed = 0, patchesListed = 0;
  for (int i = 0; i < kModuleCount; ++i) {
    deflatedListed += manifest.compressed[i] ? 1 : 0;
    patchesListed += manifest.patches[i].size();
  }
  for (const auto& [section, listed] : {std::pair<const char*, size_t>{kCompressedSection, deflatedListed},
                                        std::pair<const char*, size_t>{kPatchesSection, patchesListed}})
    if (const IniSection* lines = ini.Section(section); lines && lines->entries.size() != listed)
      problems.push_back("[" + std::string(section) + "]: " + std::to_string(lines->entries.size() - listed) +
                         " line(s) that name no module or do not read as one");
  std::string modules[kModuleCount];  // the modules' bytes
  for (int i = 0; i < kModuleCount; ++i) {
    bool ok = false;
    modules[i] = ReadFileBytes(serverDir / kModuleCatalogue[i].RemoteName(), ok);
  }
  auto gives = [](PatchResult r, const std::string& out, const std::string& module, int64_t moduleSize) {
    return r == PatchResult::Ok && out == module && static_cast<int64_t>(out.size()) == moduleSize;
  };
  auto collect = [](std::string& out) {
    return [&out](const uint8_t* b, size_t n) {
      out.append(reinterpret_cast<const char*>(b), n);
      return true;
    };
  };
  for (int i = 0; i < kModuleCount; ++i) {
    const std::optional<CompressedEntry>& way = manifest.compressed[i];
    if (!way) continue;
    const std::string name = kModuleCatalogue[i].RemoteName() + kCompressedSuffix;
    bool ok = false;
    const std::string z = ReadFileBytes(serverDir / name, ok);
    std::string out;
    const PatchResult r =
        InflateBytes(reinterpret_cast<const uint8_t*>(z.data()), z.size(), 0x7FFFFFFF, collect(out));
    if (!ok || static_cast<int64_t>(z.size()) != way->size || signing::Sha256Hex(z) != way->sha256 ||
        !gives(r, out, modules[i], way->moduleSize))
      problems.push_back(name + ": not the module deflated as listed");
  }
  // The sources the patches may be made from: every module of the earlier releases.
  std::map<std::string, std::string> sources;  // SHA-256 -> bytes
  for (const fs::path& dir : earlier)
    for (const ModuleEntry& row : kModuleCatalogue) {
      bool ok = false;
      const std::string module = ReadFileBytes(dir / row.RemoteName(), ok);
      if (ok) sources[signing::Sha256Hex(module)] = module;
    }
  for (int i = 0; i < kModuleCount; ++i)
    for (const PatchEntry& way : manifest.patches[i]) {
      bool ok = false;
      const std::string patch = ReadFileBytes(serverDir / way.name, ok);
      if (!ok) {
        problems.push_back("patch " + way.name + " of " + kModuleCatalogue[i].RemoteName() + ": missing");
        continue;
      }
      if (static_cast<int64_t>(patch.size()) != way.size || signing::Sha256Hex(patch) != way.sha256) {
        problems.push_back(way.name + ": SHA-256 or size differs from the listed ones");
        continue;
      }
      const auto source = sources.find(way.sourceSha256);
      if (source == sources.end()) {
        if (!earlier.empty()) problems.push_back(way.name + ": its source is in none of the earlier releases given");
        continue;
      }
      std::string out;
      const PatchResult r = ApplyPatch(reinterpret_cast<const uint8_t*>(source->second.data()), source->second.size(),
                                       reinterpret_cast<const uint8_t*>(patch.data()), patch.size(), 0x7FFFFFFF,
                                       collect(out));
      if (!gives(r, out, modules[i], way.moduleSize))
        problems.push_back(way.name + ": applied to its source, it does not give the module (" + PatchResultText(r) + ")");
    }
  return problems;
}

std::vector<std::string> KeepForInstaller(const fs::path& serverDir, const fs::path& publicKey, const fs::path& installDir) {
  bool ok = false;
  const std::string manifest = ReadFileBytes(serverDir / kManifestFileName, ok);
  if (!ok) return {"no manifest " + (serverDir / kManifestFileName).string()};
  const std::string signature = ReadFileBytes(serverDir / kSignatureFileName, ok);
  if (!ok) return {"no signature " + (serverDir / kSignatureFileName).string()};
  std::string error;
  if (!signing::Verify(publicKey.string(), manifest, signature, error)) return {error};
  if (!Manifest::Parse(manifest).signedRelease)
    return {"the manifest has no well-formed [" + std::string(kSignedSection) + "] section"};
  std::error_code ec;
  fs::create_directories(installDir, ec);
  const fs::path kept = installDir / "KeptRelease.dat";
  if (!ReplaceWhole(kept, signature + manifest)) return {"cannot write " + kept.string()};
  return {};
}

namespace {

std::string StageText(const Manifest& manifest) {
  const std::string release =
      manifest.signedRelease ? "release " + std::to_string(manifest.signedRelease->number) : "the (unsigned) release";
  if (!manifest.rolloutPercent) return release + ": offered to every installation (no stage)";
  const int p = *manifest.rolloutPercent;
  return release + ": " + std::to_string(p) + " % (" +
         (p == 0 ? std::string("halted: offered to no installation but in the mandatory mode")
                 : p >= 100 ? std::string("every bucket") : "buckets 0 to " + std::to_string(p - 1)) + ")";
}

}  // namespace

std::vector<std::string> SetRollout(const fs::path& serverDir, int percent, const fs::path& signKey,
                                    std::string& summary) {
  if (percent < 0 || percent > 100) return {"the stage is a percentage from 0 to 100"};
  bool ok = false, hasSignature = false;
  const std::string bytes = ReadFileBytes(serverDir / kManifestFileName, ok);
  if (!ok) return {"no manifest " + (serverDir / kManifestFileName).string()};
  const std::string signature = ReadFileBytes(serverDir / kSignatureFileName, hasSignature);
  Manifest manifest = Manifest::Parse(bytes);
  const bool signedFolder = hasSignature || manifest.signedRelease || manifest.signedSectionDamaged;
  if (signedFolder && signKey.empty())
    return {"the release is signed: its new stage must be signed too (--sign KEY); nothing was written"};
  if (!signedFolder && !signKey.empty()) return {"the release is not signed: publish it signed to stage it with a key"};
  if (signedFolder) {
    // Whoever can write the folder must not get their manifest signed by the release team.
    std::string error;
    if (!hasSignature) return {"the manifest has a signed section but no signature: publish the release again"};
    if (!signing::VerifyWithKeyOf(signKey.string(), bytes, signature, error))
      return {"the folder's manifest does not verify with this key (" + error +
              "): refused, nothing was written; check the folder with `verify` and publish the release again"};
    if (!manifest.signedRelease) return {"the manifest's signed section is damaged: publish the release again"};
    if (manifest.signedRelease->number >= kMaxReleaseNumber) return {"the release is the last number there is"};
    manifest.signedRelease->number += 1;
  }
  manifest.rolloutPercent = percent;
  if (signedFolder) {
    std::string newSignature, error;
    if (!signing::Sign(signKey.string(), manifest.Text(), newSignature, error)) return {error};
    if (!ReplaceWhole(serverDir / kSignatureFileName, newSignature))
      return {"cannot write " + (serverDir / kSignatureFileName).string()};
  }
  if (!ReplaceWhole(serverDir / kManifestFileName, manifest.Text()))
    return {"cannot write " + (serverDir / kManifestFileName).string()};
  summary = StageText(manifest);
  return {};
}

std::vector<std::string> RolloutStatus(const fs::path& serverDir, std::string& summary) {
  bool ok = false;
  const std::string bytes = ReadFileBytes(serverDir / kManifestFileName, ok);
  if (!ok) return {"no manifest " + (serverDir / kManifestFileName).string()};
  summary = StageText(Manifest::Parse(bytes));
  return {};
}
