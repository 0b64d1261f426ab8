// Which signed release this installation takes: the manifest's signature by
// one of the keys the program carries, and the trust kept over time (the
// newest release trusted, the numbers recorded).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/release/Manifest.h"

// In the install folder: the numbers of the signed releases installed and trusted.
constexpr char kReleaseNumberFile[] = "ReleaseNumber.ini";

// The manifest parsed from its bytes, when `signature` of those bytes
// verifies with one of `keys` and its signed section is well-formed.
std::optional<Manifest> VerifiedManifestOf(const std::string& bytes, const std::string& signature,
                                           const std::vector<std::string>& keys);

// Where the manifest's signature is kept while it is checked.
constexpr char kSignatureLocalName[] = "ModelMD5.sig.tmp";

struct VerifiedManifest {
  Manifest manifest;      // with its signed release
  std::string signature;  // r || s, as fetched
  const SignedRelease& release() const { return *manifest.signedRelease; }
};

// Fetches the signature of the manifest `bytes` from `serverBase` through
// `folder` and checks both as VerifiedManifestOf does. A time-out of 0 keeps
// the download library's; `deadlineMs` bounds the fetch.
// `localName` is where the signature is kept while it is checked; with
// `revalidate` caches on the way are asked to check with the origin.
std::optional<VerifiedManifest> FetchVerifiedRelease(const std::string& serverBase, const std::wstring& folder,
                                                     const std::string& bytes, const std::vector<std::string>& keys,
                                                     int timeoutMs, int deadlineMs,
                                                     const char* localName = kSignatureLocalName,
                                                     bool revalidate = false);

// The newest release this installation has trusted, kept in the install
// folder as one file, replaced whole: the 64-byte signature, then the
// manifest's exact bytes. A release team's tool writes the first one for an
// installer (`update-release keep`).
constexpr char kKeptReleaseName[] = "KeptRelease.dat";

// What a release is judged against: the kept manifest when it verifies with
// `keys` (`damaged` when the file is there but does not), and the highest
// number recorded in ReleaseNumber.ini (-1 when none or malformed).
struct TrustFloor {
  std::optional<KeptManifest> kept;
  bool damaged = false;
  int64_t recorded = -1;
};
TrustFloor LoadTrustFloor(const std::wstring& folder, const std::vector<std::string>& keys);

// Where the entry points (the manifest, its signature, the notes) are
// fetched, in order: `serverBase`, then, for an updater with `keys`, the
// mirrors of the newest release this installation trusts, so that a server
// that does not answer does not stop updates.
std::vector<std::string> EntryBases(const std::string& serverBase, const std::wstring& folder,
                                    const std::vector<std::string>& keys);

// The number a release must reach to be taken: the kept release's, or
// without one the recorded number (-1: none). A cache that still serves
// yesterday's entry points gives a release below it.
int64_t TrustedNumber(const std::wstring& folder, const std::vector<std::string>& keys);

// Judges a release whose signature verified against the floor of `folder`;
// with `keep`, keeps it when it is newer than anything trusted before (before
// any of it is downloaded; a release held back, or only judged for its notes,
// is not kept). True when the release may be used; the support log says why not.
bool TrustRelease(const std::wstring& folder, const std::vector<std::string>& keys, const VerifiedManifest& verified,
                  const std::string& bytes, const char* purpose, bool keep);

// The numbers this installation keeps in ReleaseNumber.ini, [Release]:
// "Number", the signed release installed last, and "Trusted", the newest
// one trusted (the kept release's, recorded as well should that file be
// damaged). Decimal digits only; -1 for none or a malformed record.
enum class ReleaseRecord { Installed, Trusted };
int64_t RecordedReleaseNumber(const std::wstring& folder, ReleaseRecord which);
// Records `number` unless a higher one is recorded already; the file is replaced whole.
void RecordReleaseNumber(const std::wstring& folder, ReleaseRecord which, int64_t number);
