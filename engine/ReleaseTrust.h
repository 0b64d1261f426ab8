// Checking a signed release with the platform's CNG functions: the public
// keys the program carries, the manifest's ECDSA P-256 signature, and the
// SHA-256 and size of every file the signed manifest names.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/DownloadTask.h"
#include "engine/SignedRelease.h"
#include "framework/ScopedCng.h"

// Streams bytes through SHA-256 (CNG calls that exist since Windows Vista).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  bool Add(const void* data, size_t size);
  // The 32-byte digest; empty on failure.
  std::string Finish();
  // The same as 64 lower-case hexadecimal digits.
  std::string FinishHex();

 private:
  fw::ScopedCngAlgorithm algorithm_;
  fw::ScopedCngHash hash_;  // goes first
};

// Resource ids of the embedded public keys (RCDATA, the .pub files of
// `update-release keygen`): the first that is missing ends the list.
constexpr int kReleaseKeyResourceFirst = 300;
constexpr int kReleaseKeyResourceCount = 10;

// The keys `module` carries, each as the raw point X || Y (64 bytes).
std::vector<std::string> LoadReleaseKeys(HMODULE module);

// True when `signature` (r || s) of `bytes` verifies with one of `keys`.
bool VerifyReleaseSignature(const std::string& bytes, const std::string& signature,
                            const std::vector<std::string>& keys);

// SHA-256 as 64 lower-case hexadecimal digits.
std::string Sha256OfBytes(const std::string& bytes);

// The signed release of a manifest's bytes and its signature: nothing unless
// the signature verifies with one of `keys` and the section is complete.
std::optional<SignedRelease> VerifiedRelease(const std::string& manifest, const std::string& signature,
                                             const std::vector<std::string>& keys);

// Where the manifest's signature is kept while it is checked.
constexpr char kSignatureLocalName[] = "ModelMD5.sig.tmp";

struct VerifiedManifest {
  SignedRelease release;
  std::string signature;  // r || s, as fetched
};

// Fetches the signature of the manifest `manifest` (its bytes) from
// `serverBase` through `folder` and checks both as VerifiedRelease does. A
// time-out of 0 keeps the download library's; `deadlineMs` bounds the fetch.
std::optional<VerifiedManifest> FetchVerifiedRelease(const std::string& serverBase, const std::string& folder,
                                                     const std::string& manifest, const std::vector<std::string>& keys,
                                                     int timeoutMs, int deadlineMs);

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
TrustFloor LoadTrustFloor(const std::string& folder, const std::vector<std::string>& keys);

// Judges a release whose signature verified against the floor of `folder`;
// keeps it when it is newer than anything trusted before (before any of it
// is downloaded). True when the release may be used; the support log says
// why not.
bool TrustRelease(const std::string& folder, const std::vector<std::string>& keys, const VerifiedManifest& verified,
                  const std::string& manifest, const char* purpose);

// The numbers this installation keeps in ReleaseNumber.ini, [Release]:
// "Number", the signed release installed last, and "Trusted", the newest
// one trusted (the kept release's, recorded as well should that file be
// damaged). Decimal digits only; -1 for none or a malformed record.
enum class ReleaseRecord { Installed, Trusted };
int64_t RecordedReleaseNumber(const std::string& folder, ReleaseRecord which);
// Records `number` unless a higher one is recorded already; the file is replaced whole.
void RecordReleaseNumber(const std::string& folder, ReleaseRecord which, int64_t number);
