#include "engine/release/ReleaseTrust.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <ctime>

#include "engine/crypto/Signature.h"
#include "engine/run/SupportLog.h"
#include "engine/transfer/SmallFetch.h"
#include "framework/Files.h"
#include "framework/Paths.h"

std::optional<Manifest> VerifiedManifestOf(const std::string& bytes, const std::string& signature,
                                           const std::vector<std::string>& keys) {
  if (!VerifyReleaseSignature(bytes, signature, keys)) return std::nullopt;
  Manifest manifest = Manifest::Parse(bytes);
  if (!manifest.signedRelease) return std::nullopt;
  return manifest;
}

std::optional<VerifiedManifest> FetchVerifiedRelease(const std::string& serverBase, const std::wstring& folder,
                                                     const std::string& bytes, const std::vector<std::string>& keys,
                                                     int timeoutMs, int deadlineMs, const char* localName,
                                                     bool revalidate) {
  FetchBounds bounds{static_cast<int64_t>(kSignatureSize), timeoutMs, deadlineMs, false};
  bounds.revalidate = revalidate;
  const SmallFile signature(serverBase + kSignatureFileName, PathIn(folder, localName), bounds);
  if (!signature.ok()) return std::nullopt;
  std::optional<Manifest> manifest = VerifiedManifestOf(bytes, signature.bytes(), keys);
  if (!manifest) return std::nullopt;
  return VerifiedManifest{std::move(*manifest), signature.bytes()};
}

TrustFloor LoadTrustFloor(const std::wstring& folder, const std::vector<std::string>& keys) {
  TrustFloor floor;
  floor.recorded = std::max(RecordedReleaseNumber(folder, ReleaseRecord::Installed),
                            RecordedReleaseNumber(folder, ReleaseRecord::Trusted));
  const std::wstring path = PathIn(folder, kKeptReleaseName);
  if (!fw::PathExists(path)) return floor;
  const std::string bytes = fw::ReadWholeFile(path, kSignatureSize + kManifestMaxBytes).value_or(std::string());
  std::optional<Manifest> manifest;
  if (bytes.size() > kSignatureSize)
    manifest = VerifiedManifestOf(bytes.substr(kSignatureSize), bytes.substr(0, kSignatureSize), keys);
  if (manifest)
    floor.kept = KeptManifest{manifest->signedRelease->number, bytes.substr(kSignatureSize)};
  else
    floor.damaged = true;
  return floor;
}

std::vector<std::string> EntryBases(const std::string& serverBase, const std::wstring& folder,
                                    const std::vector<std::string>& keys) {
  std::vector<std::string> bases{serverBase};
  if (keys.empty()) return bases;
  const TrustFloor floor = LoadTrustFloor(folder, keys);
  if (!floor.kept) return bases;
  const std::vector<std::string> mirrors = Manifest::Parse(floor.kept->bytes).mirrors;
  bases.insert(bases.end(), mirrors.begin(), mirrors.end());
  return AllowedBases(serverBase, bases, true);
}

int64_t TrustedNumber(const std::wstring& folder, const std::vector<std::string>& keys) {
  const TrustFloor floor = LoadTrustFloor(folder, keys);
  // As JudgeRelease: the recorded number counts only without a kept release.
  return floor.kept ? floor.kept->number : floor.recorded;
}

bool TrustRelease(const std::wstring& folder, const std::vector<std::string>& keys, const VerifiedManifest& verified,
                  const std::string& bytes, const char* purpose, bool keep) {
  const TrustFloor floor = LoadTrustFloor(folder, keys);
  if (floor.damaged)
    SupportLog(folder, "%s: the kept release (%s) does not verify (damaged, or signed with a key this updater no "
               "longer trusts): the recorded number %lld is the floor", purpose, kKeptReleaseName,
               static_cast<long long>(floor.recorded));
  const TrustVerdict verdict = JudgeRelease(verified.release(), bytes, floor.kept, floor.recorded,
                                            static_cast<int64_t>(std::time(nullptr)));
  const long long number = verified.release().number;
  const long long kept = floor.kept ? floor.kept->number : floor.recorded;
  switch (verdict) {
    case TrustVerdict::Keep: {
      if (!keep) return true;
      const bool written = fw::WriteWholeFile(PathIn(folder, kKeptReleaseName), verified.signature + bytes);
      RecordReleaseNumber(folder, ReleaseRecord::Trusted, verified.release().number);
      SupportLog(folder, "%s: signed release %lld is the newest trusted%s", purpose, number,
                 written ? "" : " (it could not be kept)");
      return true;
    }
    case TrustVerdict::Same:
      return true;
    case TrustVerdict::Older:
      SupportLog(folder, "%s: signed release %lld refused: older than release %lld, trusted before", purpose, number, kept);
      return false;
    case TrustVerdict::SameNumberOtherBytes:
      SupportLog(folder, "%s: signed release %lld refused: the release trusted under that number has other contents",
                 purpose, number);
      return false;
    case TrustVerdict::Expired:
      SupportLog(folder, "%s: signed release %lld refused: it expired at %lld (seconds since 1970; this clock says %lld)",
                 purpose, number, static_cast<long long>(verified.release().expires),
                 static_cast<long long>(std::time(nullptr)));
      return false;
  }
  return false;
}

namespace {

const char* RecordKey(ReleaseRecord which) { return which == ReleaseRecord::Installed ? "Number" : "Trusted"; }
// The records are two short lines.
constexpr int64_t kRecordMaxBytes = 64 * 1024;

}  // namespace

int64_t RecordedReleaseNumber(const std::wstring& folder, ReleaseRecord which) {
  const std::optional<std::string> bytes = fw::ReadWholeFile(PathIn(folder, kReleaseNumberFile), kRecordMaxBytes);
  return DecimalValue(IniText::Parse(bytes.value_or(std::string())).ProfileValue("Release", RecordKey(which)));
}

void RecordReleaseNumber(const std::wstring& folder, ReleaseRecord which, int64_t number) {
  if (number < 0 || RecordedReleaseNumber(folder, which) >= number) return;
  int64_t installed = RecordedReleaseNumber(folder, ReleaseRecord::Installed);
  int64_t trusted = RecordedReleaseNumber(folder, ReleaseRecord::Trusted);
  (which == ReleaseRecord::Installed ? installed : trusted) = number;
  std::string text = "[Release]\r\n";
  if (installed >= 0) text += "Number=" + std::to_string(installed) + "\r\n";
  if (trusted >= 0) text += "Trusted=" + std::to_string(trusted) + "\r\n";
  fw::WriteWholeFile(PathIn(folder, kReleaseNumberFile), text);
}
