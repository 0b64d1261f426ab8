#include "Publisher.h"

#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "DeltaMaker.h"
#include "Signing.h"
#include "engine/DeltaPatch.h"
#include "engine/ModuleCatalogue.h"
#include "engine/ModuleDigest.h"
#include "engine/SignedRelease.h"

#include <cstring>

namespace fs = std::filesystem;

std::string ManifestText(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string text = "[" + std::string(kManifestSection) + "]\r\n";
  for (const auto& [key, digest] : entries) text += key + "=" + digest + "\r\n";
  return text;
}

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

struct Found {
  const ModuleEntry* entry;
  fs::path source;
  std::string digest;
};

std::string Hex16(const std::string& sha) { return sha.substr(0, 16); }

// A cheaper way goes out only where it saves a tenth at least: a small
// saving is not worth the client's inflating or patching.
bool SavesATenth(size_t way, size_t other) { return way <= other / 10 * 9; }

bool PublishCheaperWays(const PublishOptions& options, const std::vector<Found>& found, std::string& manifestText,
                        PublishResult& result, std::string& error) {
  std::string compressed = "[" + std::string(kCompressedSection) + "]\r\n";
  std::string patches = "[" + std::string(kPatchesSection) + "]\r\n";
  for (const Found& module : found) {
    bool ok = false;
    const std::string bytes = ReadFileBytes(module.source, ok);
    if (!ok) {
      error = "cannot read " + module.source.string();
      return false;
    }
    const std::string deflated = DeflateBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    const std::string zName = module.entry->RemoteName() + kCompressedSuffix;
    std::error_code ec;
    fs::remove(options.serverDir / zName, ec);
    // Some modules do not compress.
    const bool smaller = !deflated.empty() && SavesATenth(deflated.size(), bytes.size());
    if (smaller && !WriteFileBytes(options.serverDir / zName, deflated)) {
      error = "cannot write " + zName;
      return false;
    }
    if (smaller)
      compressed += std::string(module.entry->baseName) + "=" + signing::Sha256Hex(deflated) + " " +
                    std::to_string(deflated.size()) + " " + std::to_string(bytes.size()) + "\r\n";
    result.wholeBytes += static_cast<int64_t>(bytes.size());
    result.compressedBytes += static_cast<int64_t>(smaller ? deflated.size() : bytes.size());
    const size_t cheapest = smaller ? deflated.size() : bytes.size();
    const std::string targetSha = signing::Sha256Hex(bytes);
    int n = 0;
    for (const fs::path& earlier : options.deltaFrom) {
      bool had = false;
      const std::string previous = ReadFileBytes(earlier / module.entry->RemoteName(), had);
      if (!had || previous == bytes) continue;
      const std::string patch = MakePatch(previous, bytes);
      const std::string sourceSha = signing::Sha256Hex(previous);
      if (options.progress)
        options.progress(module.entry->RemoteName() + ": " + std::to_string(bytes.size()) + " bytes, deflated " +
                         std::to_string(deflated.size()) + ", patch from " + earlier.filename().string() + " " +
                         std::to_string(patch.size()));
      if (patch.empty() || !SavesATenth(patch.size(), cheapest)) continue;
      const std::string name = module.entry->RemoteName() + "." + Hex16(sourceSha) + "." + Hex16(targetSha) + kPatchSuffix;
      if (!WriteFileBytes(options.serverDir / name, patch)) {
        error = "cannot write " + name;
        return false;
      }
      patches += std::string(module.entry->baseName) + "." + std::to_string(++n) + "=" + name + " " +
                 signing::Sha256Hex(patch) + " " + std::to_string(patch.size()) + " " + sourceSha + " " +
                 ModuleDigestOfBytes(reinterpret_cast<const uint8_t*>(previous.data()),
                                     static_cast<int32_t>(previous.size()), kModuleDigestKey) +
                 " " + std::to_string(bytes.size()) + "\r\n";
      result.patches.push_back(name);
      result.patchBytes += static_cast<int64_t>(patch.size());
    }
  }
  manifestText += compressed + patches;
  return true;
}

}  // namespace

PublishResult Publish(const PublishOptions& options) {
  PublishResult result;
  std::error_code ec;
  if (!fs::is_directory(options.buildDir, ec)) {
    result.errors.push_back("build folder not found: " + options.buildDir.string());
    return result;
  }
  if (!options.notesFile.empty() && !fs::is_regular_file(options.notesFile, ec)) {
    result.errors.push_back("release notes not found: " + options.notesFile.string());
    return result;
  }

  std::vector<Found> found;
  if (!options.carryOverDir.empty() && !fs::is_regular_file(options.carryOverDir / kManifestFileName, ec)) {
    result.errors.push_back("no published release to carry modules over from: " + options.carryOverDir.string());
    return result;
  }
  for (const ModuleEntry& entry : kModuleCatalogue) {
    fs::path source = options.buildDir / entry.LocalName();
    if (!fs::exists(source, ec)) {
      // A partial build: the module stays as the earlier release has it.
      const fs::path earlier = options.carryOverDir / entry.RemoteName();
      if (options.carryOverDir.empty() || !fs::exists(earlier, ec)) {
        result.missing.push_back(entry.LocalName());
        continue;
      }
      source = earlier;
      result.carriedOver.push_back(entry.RemoteName());
    }
    if (!fs::is_regular_file(source, ec)) {
      result.errors.push_back("not a file: " + source.string());
      continue;
    }
    std::string digest = ModuleDigest(source.string(), kModuleDigestKey);
    if (digest.empty()) {
      result.errors.push_back("cannot read " + source.string());
      continue;
    }
    found.push_back({&entry, source, digest});
  }
  if (!result.errors.empty()) return result;
  // A manifest without a module would make every installation fail on it:
  // never published.
  if (!result.missing.empty()) {
    std::string names;
    for (const auto& name : result.missing) names += (names.empty() ? "" : ", ") + name;
    result.errors.push_back("modules missing from the build" +
                            std::string(options.carryOverDir.empty() ? "" : " and from the earlier release") + ": " +
                            names);
    return result;
  }

  fs::create_directories(options.serverDir, ec);
  if (ec || !fs::is_directory(options.serverDir, ec)) {
    result.errors.push_back("cannot create server folder: " + options.serverDir.string());
    return result;
  }
  // The updater renews itself: its program, when the build holds it, goes
  // beside the modules, in sections the catalogue's readers ignore.
  const fs::path updaterSource = options.buildDir / kUpdaterFileName;
  std::string updaterDigest;
  if (fs::is_regular_file(updaterSource, ec)) {
    updaterDigest = ModuleDigest(updaterSource.string(), kModuleDigestKey);
    std::string error;
    if (updaterDigest.empty() || !CopyInto(updaterSource, options.serverDir / kUpdaterFileName, error)) {
      result.errors.push_back(updaterDigest.empty() ? "cannot read " + updaterSource.string() : error);
      return result;
    }
    result.updater = true;
  } else {
    fs::remove(options.serverDir / kUpdaterFileName, ec);
  }
  std::vector<std::pair<std::string, std::string>> manifest;
  for (const Found& module : found) {
    std::string error;
    if (!CopyInto(module.source, options.serverDir / module.entry->RemoteName(), error)) {
      result.errors.push_back(error);
      return result;
    }
    result.published.push_back(module.entry->RemoteName());
    manifest.emplace_back(module.entry->baseName, module.digest);
  }
  if (!options.notesFile.empty()) {
    std::string error;
    if (!CopyInto(options.notesFile, options.serverDir / kReleaseNotesFileName, error)) {
      result.errors.push_back(error);
      return result;
    }
  }
  std::string manifestText = ManifestText(manifest);
  if (!updaterDigest.empty())
    manifestText += "[" + std::string(kUpdaterSection) + "]\r\n" + kUpdaterKey + "=" + updaterDigest + "\r\n";
  // Cheaper ways to the same modules, in sections the catalogue's readers
  // ignore: each module deflated, and patches from earlier releases.
  std::string error;
  if (!PublishCheaperWays(options, found, manifestText, result, error)) {
    result.errors.push_back(error);
    return result;
  }
  if (!options.signKey.empty()) {
    if (options.releaseNumber < 0) {
      result.errors.push_back("a signed release needs --release N");
      return result;
    }
    SignedRelease signedRelease;
    signedRelease.number = options.releaseNumber;
    if (options.expiresDays > 0)
      signedRelease.expires = (options.now ? options.now : static_cast<int64_t>(std::time(nullptr))) +
                              options.expiresDays * 24 * 60 * 60;
    if (!updaterDigest.empty()) {
      SignedFile& file = signedRelease.updater.emplace();
      if (!signing::Sha256OfFile((options.serverDir / kUpdaterFileName).string(), file.sha256, file.size)) {
        result.errors.push_back(std::string("cannot read ") + kUpdaterFileName);
        return result;
      }
    }
    for (const Found& module : found) {
      SignedFile file;
      if (!signing::Sha256OfFile((options.serverDir / module.entry->RemoteName()).string(), file.sha256, file.size)) {
        result.errors.push_back("cannot read " + module.entry->RemoteName());
        return result;
      }
      signedRelease.modules[module.entry->baseName] = file;
    }
    if (!options.notesFile.empty()) {
      int64_t size = 0;
      signing::Sha256OfFile((options.serverDir / kReleaseNotesFileName).string(), signedRelease.notesSha256, size);
    }
    manifestText += SignedSectionText(signedRelease);
    std::string signature, error;
    if (!signing::Sign(options.signKey.string(), manifestText, signature, error)) {
      result.errors.push_back(error);
      return result;
    }
    const fs::path signaturePath = options.serverDir / kSignatureFileName;
    if (!WriteFileBytes(signaturePath.string() + ".partial", signature)) {
      result.errors.push_back("cannot write " + signaturePath.string());
      return result;
    }
    fs::rename(signaturePath.string() + ".partial", signaturePath, ec);
  } else {
    // An unsigned release has no signature: a stale one would fail every keyed updater.
    fs::remove(options.serverDir / kSignatureFileName, ec);
  }
  // The manifest goes last: a client never sees digests of files not yet there.
  const fs::path manifestPath = options.serverDir / kManifestFileName;
  if (!WriteFileBytes(manifestPath.string() + ".partial", manifestText)) {
    result.errors.push_back("cannot write " + manifestPath.string());
    return result;
  }
  fs::rename(manifestPath.string() + ".partial", manifestPath, ec);
  if (ec) {
    result.errors.push_back("cannot write " + manifestPath.string());
    return result;
  }
  result.ok = true;
  return result;
}

std::vector<std::string> VerifyCheaperWays(const fs::path& serverDir, const std::string& manifest,
                                           const std::vector<fs::path>& earlier);

std::vector<std::string> VerifyPublished(const fs::path& serverDir, const fs::path& publicKey, int64_t now,
                                         const std::vector<fs::path>& earlier) {
  std::vector<std::string> problems;
  bool ok = false;
  const std::string manifest = ReadFileBytes(serverDir / kManifestFileName, ok);
  if (!ok) return {"no manifest " + (serverDir / kManifestFileName).string()};
  const std::string signature = ReadFileBytes(serverDir / kSignatureFileName, ok);
  std::string error;
  if (!ok)
    problems.push_back("no signature " + (serverDir / kSignatureFileName).string());
  else if (!signing::Verify(publicKey.string(), manifest, signature, error))
    problems.push_back(error);
  const std::optional<SignedRelease> release = ParseSignedRelease(manifest);
  if (!release) {
    problems.push_back("the manifest has no complete [" + std::string(kSignedSection) + "] section");
    return problems;
  }
  for (const ModuleEntry& row : kModuleCatalogue) {
    const fs::path file = serverDir / row.RemoteName();
    const SignedFile& expected = release->modules.at(row.baseName);
    std::string sha;
    int64_t size = 0;
    if (!signing::Sha256OfFile(file.string(), sha, size)) {
      problems.push_back(row.RemoteName() + ": missing or unreadable");
      continue;
    }
    if (size != expected.size)
      problems.push_back(row.RemoteName() + ": " + std::to_string(size) + " bytes, signed as " +
                         std::to_string(expected.size));
    else if (sha != expected.sha256)
      problems.push_back(row.RemoteName() + ": SHA-256 differs from the signed one");
    char fingerprint[260] = {};
    const std::string key = std::string(row.baseName) + "=";
    const size_t at = manifest.find("\n" + key);
    if (at != std::string::npos) manifest.copy(fingerprint, 32, at + 1 + key.size());
    if (LowerCaseDigest(fingerprint) != ModuleDigest(file.string(), kModuleDigestKey))
      problems.push_back(row.RemoteName() + ": fingerprint differs from the manifest's");
  }
  if (release->expires > 0 && (now ? now : static_cast<int64_t>(std::time(nullptr))) > release->expires)
    problems.push_back("the release expired at " + std::to_string(release->expires) +
                       " (seconds since 1970): publish it again with a higher number and a new expiry");
  // The updater's own program, when the release carries one.
  const fs::path updater = serverDir / kUpdaterFileName;
  const bool hasUpdater = fs::is_regular_file(updater);
  const std::string updaterKey = std::string(kUpdaterKey) + "=";
  const size_t updaterAt = manifest.find("[" + std::string(kUpdaterSection) + "]\r\n" + updaterKey);
  if (hasUpdater != release->updater.has_value() || hasUpdater != (updaterAt != std::string::npos)) {
    problems.push_back(hasUpdater ? std::string(kUpdaterFileName) + " present but not listed and signed"
                                  : std::string("a signed ") + kUpdaterFileName + " is missing");
  } else if (hasUpdater) {
    std::string sha;
    int64_t size = 0;
    signing::Sha256OfFile(updater.string(), sha, size);
    if (size != release->updater->size || sha != release->updater->sha256)
      problems.push_back(std::string(kUpdaterFileName) + ": SHA-256 or size differs from the signed ones");
    const size_t digestAt = updaterAt + std::strlen(kUpdaterSection) + 4 + updaterKey.size();
    if (manifest.compare(digestAt, 32, ModuleDigest(updater.string(), kModuleDigestKey)) != 0)
      problems.push_back(std::string(kUpdaterFileName) + ": fingerprint differs from the manifest's");
  }
  const fs::path notes = serverDir / kReleaseNotesFileName;
  std::string notesSha;
  int64_t notesSize = 0;
  const bool hasNotes = signing::Sha256OfFile(notes.string(), notesSha, notesSize);
  if (hasNotes != !release->notesSha256.empty())
    problems.push_back(hasNotes ? "release notes present but not signed" : "signed release notes missing");
  else if (hasNotes && notesSha != release->notesSha256)
    problems.push_back(std::string(kReleaseNotesFileName) + ": SHA-256 differs from the signed one");
  for (const std::string& p : VerifyCheaperWays(serverDir, manifest, earlier)) problems.push_back(p);
  return problems;
}

namespace {

// The lines of one manifest section, as key and value.
std::vector<std::pair<std::string, std::string>> SectionLines(const std::string& manifest, const std::string& section) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::istringstream in(manifest);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inside = line == "[" + section + "]";
      continue;
    }
    const size_t eq = line.find('=');
    if (inside && eq != std::string::npos) lines.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return lines;
}

}  // namespace

std::vector<std::string> VerifyCheaperWays(const fs::path& serverDir, const std::string& manifest,
                                           const std::vector<fs::path>& earlier) {
  std::vector<std::string> problems;
  std::map<std::string, std::string> modules;  // base name -> the module's bytes
  for (const ModuleEntry& row : kModuleCatalogue) {
    bool ok = false;
    modules[row.baseName] = ReadFileBytes(serverDir / row.RemoteName(), ok);
  }
  for (const auto& [key, value] : SectionLines(manifest, kCompressedSection)) {
    std::istringstream words(value);
    std::string sha;
    int64_t size = -1, moduleSize = -1;
    words >> sha >> size >> moduleSize;
    const ModuleEntry* row = nullptr;
    for (const ModuleEntry& r : kModuleCatalogue) row = key == r.baseName ? &r : row;
    if (!row) {
      problems.push_back("[" + std::string(kCompressedSection) + "] names no module: " + key);
      continue;
    }
    bool ok = false;
    const std::string z = ReadFileBytes(serverDir / (row->RemoteName() + kCompressedSuffix), ok);
    std::string out;
    const PatchResult r = InflateBytes(reinterpret_cast<const uint8_t*>(z.data()), z.size(), 0x7FFFFFFF,
                                       [&](const uint8_t* b, size_t n) {
                                         out.append(reinterpret_cast<const char*>(b), n);
                                         return true;
                                       });
    if (!ok || static_cast<int64_t>(z.size()) != size || signing::Sha256Hex(z) != sha || r != PatchResult::Ok ||
        out != modules[row->baseName] || static_cast<int64_t>(out.size()) != moduleSize)
      problems.push_back(row->RemoteName() + kCompressedSuffix + ": not the module deflated as listed");
  }
  // The sources the patches may be made from: every module of the earlier releases.
  std::map<std::string, std::string> sources;  // SHA-256 -> bytes
  for (const fs::path& dir : earlier)
    for (const ModuleEntry& row : kModuleCatalogue) {
      bool ok = false;
      const std::string bytes = ReadFileBytes(dir / row.RemoteName(), ok);
      if (ok) sources[signing::Sha256Hex(bytes)] = bytes;
    }
  for (const auto& [key, value] : SectionLines(manifest, kPatchesSection)) {
    std::istringstream words(value);
    std::string name, sha, sourceSha, sourceFingerprint;
    int64_t size = -1, moduleSize = -1;
    words >> name >> sha >> size >> sourceSha >> sourceFingerprint >> moduleSize;
    const std::string base = key.substr(0, key.find('.'));
    bool ok = false;
    const std::string patch = ReadFileBytes(serverDir / name, ok);
    if (!ok || name.find_first_of("/\\") != std::string::npos || !modules.count(base)) {
      problems.push_back("patch " + key + ": " + name + " missing, or for no module");
      continue;
    }
    if (static_cast<int64_t>(patch.size()) != size || signing::Sha256Hex(patch) != sha) {
      problems.push_back(name + ": SHA-256 or size differs from the listed ones");
      continue;
    }
    const auto source = sources.find(sourceSha);
    if (source == sources.end()) {
      if (!earlier.empty()) problems.push_back(name + ": its source is in none of the earlier releases given");
      continue;
    }
    std::string out;
    const PatchResult r = ApplyPatch(reinterpret_cast<const uint8_t*>(source->second.data()), source->second.size(),
                                     reinterpret_cast<const uint8_t*>(patch.data()), patch.size(), 0x7FFFFFFF,
                                     [&](const uint8_t* b, size_t n) {
                                       out.append(reinterpret_cast<const char*>(b), n);
                                       return true;
                                     });
    if (r != PatchResult::Ok || out != modules[base] || static_cast<int64_t>(out.size()) != moduleSize)
      problems.push_back(name + ": applied to its source, it does not give the module (" + PatchResultText(r) + ")");
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
  if (!ParseSignedRelease(manifest)) return {"the manifest has no complete [" + std::string(kSignedSection) + "] section"};
  std::error_code ec;
  fs::create_directories(installDir, ec);
  const fs::path kept = installDir / "KeptRelease.dat";
  if (!WriteFileBytes(kept.string() + ".partial", signature + manifest)) return {"cannot write " + kept.string()};
  fs::rename(kept.string() + ".partial", kept, ec);
  if (ec) return {"cannot write " + kept.string()};
  return {};
}
