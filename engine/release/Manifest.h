// The manifest ("ModelMD5.dll" on the server): the one type that reads and
// writes it, for the updater and the release tool alike. The format, section
// by section, is in docs/manifest-format.md. It is parsed once, from the
// bytes that were fetched (and, for a signed release, verified), with the
// platform's profile rules (IniText); nothing reads it again from a file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/release/IniText.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/release/SignedRelease.h"

// Sections and keys.
constexpr char kManifestSection[] = "ModuleVersion";  // base name = fingerprint
constexpr char kUpdaterSection[] = "Updater";         // Updater = the updater's fingerprint
constexpr char kUpdaterKey[] = "Updater";             // in that section and the signed one
constexpr char kServiceKey[] = "Service";             // the update service's, likewise
constexpr char kCompressedSection[] = "Compressed";   // base name = SHA-256 size module-size
constexpr char kPatchesSection[] = "Patches";         // base name.N = name SHA-256 size source-SHA-256 source-fingerprint module-size
constexpr char kRolloutSection[] = "Rollout";        // Percent = the stage, 0 to 100
constexpr char kFilesSection[] = "Files";            // base name[.z], Updater or Service = the file's name by content
constexpr char kMirrorsSection[] = "Mirrors";        // 1 to N = another base serving the same files
constexpr char kReleaseSection[] = "Release";        // Probation = seconds a new release must prove itself
constexpr char kSignedSection[] = "SignedRelease";

// Beside the manifest: its detached signature, ECDSA P-256 over SHA-256 of
// the manifest's exact bytes, r then s, 32 bytes each.
constexpr char kSignatureFileName[] = "ModelMD5.sig";
constexpr size_t kSignatureSize = 64;
// The manifest is a few lines of text: no server may send more.
constexpr int64_t kManifestMaxBytes = 1 << 20;
// Patches listed per module ([Patches] base name.1 to .N), one per earlier release.
constexpr int kMaxPatchesPerModule = 16;

// How long the product must run on a new release before the previous one
// goes (a signed manifest may set 0 to kMaxProbationSeconds).
constexpr int kDefaultProbationSeconds = 60;
constexpr int kMaxProbationSeconds = 600;
// Other bases that serve a release's files: at most this many are read.
constexpr int kMaxMirrors = 8;

// A module deflated ("<remote name>.z" beside it).
struct CompressedEntry {
  std::string sha256;  // of the deflated file, lower case
  int64_t size = -1;   // of the deflated file
  int64_t moduleSize = -1;
};

// A patch from an earlier release's file.
struct PatchEntry {
  std::string name;  // beside the manifest; no folder
  std::string sha256;
  int64_t size = -1;
  std::string sourceSha256;       // of the file it is made from, lower case
  std::string sourceFingerprint;  // of the same file, lower case
  int64_t moduleSize = -1;
};

// The names a release's files are served under by their content, so that a
// cache keyed by the path never serves another release's bytes under them;
// empty: the file's fixed name.
struct ContentNames {
  std::array<std::string, kModuleCount> modules;
  std::array<std::string, kModuleCount> deflated;
  std::string updater;
  std::string service;

  // What is fetched for catalogue row `row`, deflated, and for the updater:
  // the name by content, else the fixed name.
  std::string ModuleName(int row) const;
  std::string DeflatedName(int row) const;
  std::string UpdaterName() const;
  std::string ServiceName() const;
};

// Whether `name` may name a file beside the manifest: 1 to 128 letters,
// digits, '.', '-' or '_', not starting with '.'.
bool IsPlainServerName(const std::string& name);
// Whether `base` may be a mirror: an http:// or https:// address ending in '/'.
bool IsMirrorBase(const std::string& base);
// Of `candidates`, in order and each once, the bases a file fetched for
// `serverBase` may come from: the server base itself; never a plain http://
// base when the server base is https:// (no step down); and, for an updater
// without release keys (only the keyed fingerprint, whose key every copy of
// the program holds, checks the bytes), no mirror unless the mirror and the
// server base are both plain http://.
std::vector<std::string> AllowedBases(const std::string& serverBase, const std::vector<std::string>& candidates,
                                      bool keyed);

struct Manifest {
  // Per catalogue row (kModuleCatalogue's order): the fingerprint as the
  // profile functions read it (at most 259 characters); nothing when the
  // manifest has no key for the module.
  std::array<std::optional<std::string>, kModuleCount> fingerprints;
  std::optional<std::string> updaterFingerprint;
  std::optional<std::string> serviceFingerprint;
  // Cheaper ways; a line that does not read as one is left out.
  std::array<std::optional<CompressedEntry>, kModuleCount> compressed;
  std::array<std::vector<PatchEntry>, kModuleCount> patches;  // in the order of their numbers
  // The rollout's stage: the share of installations (by bucket) the release
  // is offered to; nothing: all of them. A value that is not 0 to 100 reads as 0.
  std::optional<int> rolloutPercent;
  // [Release] Probation=, when it reads as 0 to kMaxProbationSeconds.
  std::optional<int> probationSeconds;
  // The probation a release gets: its own only when signed (the signature
  // covers the whole manifest), else the default.
  int ProbationSeconds() const {
    return signedRelease && probationSeconds ? *probationSeconds : kDefaultProbationSeconds;
  }
  // Where this updater fetches the files (a name that does not read is the
  // fixed one), and the other bases that serve them, in order.
  ContentNames files;
  std::vector<std::string> mirrors;
  // The signed section, when present and well-formed; `signedSectionDamaged`
  // when present (once or more) but not.
  std::optional<SignedRelease> signedRelease;
  bool signedSectionDamaged = false;
  // Sections this type does not know, kept as read and written back.
  std::vector<IniSection> otherSections;

  static Manifest Parse(std::string_view bytes);
  // CR LF line ends; the sections in the order [ModuleVersion], [Updater]
  // (when there is one), [Compressed], [Patches], [Rollout] (when there is a
  // stage), [Files] and [Mirrors] (when they list anything), the others, and
  // the signed section last.
  std::string Text() const;
};

// The signed section alone, as Manifest::Text writes it.
std::string SignedSectionText(const SignedRelease& release);

// Why the manifest cannot be checked against an installation whose
// catalogue files are `installed` (by row): a module installed but not
// listed, a fingerprint that is not 32 hexadecimal digits, or, with
// `signedRequired`, a listed module the signed section does not cover.
// Empty when it can; a module neither installed nor listed is not queued.
std::string ManifestShortfall(const Manifest& manifest, const std::array<bool, kModuleCount>& installed,
                              bool signedRequired);
