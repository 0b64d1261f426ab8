#include "engine/ReleaseTrust.h"

#include <bcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <ctime>

#include "engine/SmallFetch.h"
#include "engine/SupportLog.h"
#include "framework/Files.h"

namespace {

// The DER head of a P-256 SubjectPublicKeyInfo with an uncompressed point.
const unsigned char kP256SpkiHead[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
                                       0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kHex[c >> 4];
    hex += kHex[c & 15];
  }
  return hex;
}

}  // namespace

Sha256::Sha256() {
  if (::BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    algorithm_.release();
    return;
  }
  if (::BCryptCreateHash(algorithm_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0) != 0) hash_.release();
}

Sha256::~Sha256() = default;

bool Sha256::Add(const void* data, size_t size) {
  return hash_ &&
         ::BCryptHashData(hash_.get(), static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(size), 0) == 0;
}

std::string Sha256::Finish() {
  unsigned char digest[32];
  if (!hash_ || ::BCryptFinishHash(hash_.get(), digest, sizeof digest, 0) != 0) return {};
  return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

std::string Sha256::FinishHex() {
  const std::string digest = Finish();
  return digest.empty() ? std::string() : Hex(digest);
}

std::vector<std::string> LoadReleaseKeys(HMODULE module) {
  std::vector<std::string> keys;
  for (int i = 0; i < kReleaseKeyResourceCount; ++i) {
    HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(kReleaseKeyResourceFirst + i), MAKEINTRESOURCEA(10));
    if (!found) break;
    HGLOBAL loaded = ::LoadResource(module, found);
    const auto* data = static_cast<const unsigned char*>(loaded ? ::LockResource(loaded) : nullptr);
    const DWORD size = ::SizeofResource(module, found);
    // Anything but a P-256 key is no key: it can verify nothing.
    if (!data || size != sizeof kP256SpkiHead + 64 || std::memcmp(data, kP256SpkiHead, sizeof kP256SpkiHead) != 0)
      continue;
    keys.emplace_back(reinterpret_cast<const char*>(data) + sizeof kP256SpkiHead, 64);
  }
  return keys;
}

bool VerifyReleaseSignature(const std::string& bytes, const std::string& signature,
                            const std::vector<std::string>& keys) {
  if (signature.size() != kSignatureSize) return false;
  Sha256 hash;
  if (!hash.Add(bytes.data(), bytes.size())) return false;
  std::string digest = hash.Finish();
  if (digest.size() != 32) return false;
  fw::ScopedCngAlgorithm ecdsa;
  if (::BCryptOpenAlgorithmProvider(ecdsa.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) {
    ecdsa.release();
    return false;
  }
  for (const std::string& point : keys) {
    std::string blob(sizeof(BCRYPT_ECCKEY_BLOB), '\0');
    auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
    header->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header->cbKey = 32;
    blob += point;
    fw::ScopedCngKey key;
    if (::BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(),
                              reinterpret_cast<PUCHAR>(blob.data()), static_cast<ULONG>(blob.size()), 0) != 0) {
      key.release();
      continue;
    }
    std::string sig = signature;
    if (::BCryptVerifySignature(key.get(), nullptr, reinterpret_cast<PUCHAR>(digest.data()), 32,
                                reinterpret_cast<PUCHAR>(sig.data()), static_cast<ULONG>(sig.size()), 0) == 0)
      return true;
  }
  return false;
}

std::string Sha256OfBytes(const std::string& bytes) {
  Sha256 hash;
  if (!hash.Add(bytes.data(), bytes.size())) return {};
  return hash.FinishHex();
}

std::optional<SignedRelease> VerifiedRelease(const std::string& manifest, const std::string& signature,
                                             const std::vector<std::string>& keys) {
  if (!VerifyReleaseSignature(manifest, signature, keys)) return std::nullopt;
  return ParseSignedRelease(manifest);
}

std::optional<VerifiedManifest> FetchVerifiedRelease(const std::string& serverBase, const std::string& folder,
                                                     const std::string& manifest, const std::vector<std::string>& keys,
                                                     int timeoutMs, int deadlineMs) {
  const SmallFile signature(serverBase + kSignatureFileName, folder + kSignatureLocalName,
                            {static_cast<int64_t>(kSignatureSize), timeoutMs, deadlineMs, false});
  if (!signature.ok()) return std::nullopt;
  std::optional<SignedRelease> release = VerifiedRelease(manifest, signature.bytes(), keys);
  if (!release) return std::nullopt;
  return VerifiedManifest{*release, signature.bytes()};
}

TrustFloor LoadTrustFloor(const std::string& folder, const std::vector<std::string>& keys) {
  TrustFloor floor;
  floor.recorded = std::max(RecordedReleaseNumber(folder, ReleaseRecord::Installed),
                            RecordedReleaseNumber(folder, ReleaseRecord::Trusted));
  const std::string path = folder + kKeptReleaseName;
  if (!fw::PathExists(path)) return floor;
  const std::string bytes = fw::ReadWholeFile(path, kSignatureSize + kManifestMaxBytes).value_or(std::string());
  std::optional<SignedRelease> release;
  if (bytes.size() > kSignatureSize)
    release = VerifiedRelease(bytes.substr(kSignatureSize), bytes.substr(0, kSignatureSize), keys);
  if (release)
    floor.kept = KeptManifest{release->number, bytes.substr(kSignatureSize)};
  else
    floor.damaged = true;
  return floor;
}

bool TrustRelease(const std::string& folder, const std::vector<std::string>& keys, const VerifiedManifest& verified,
                  const std::string& manifest, const char* purpose) {
  const TrustFloor floor = LoadTrustFloor(folder, keys);
  if (floor.damaged)
    SupportLog(folder, "%s: the kept release (%s) does not verify (damaged, or signed with a key this updater no "
               "longer trusts): the recorded number %lld is the floor", purpose, kKeptReleaseName,
               static_cast<long long>(floor.recorded));
  const TrustVerdict verdict = JudgeRelease(verified.release, manifest, floor.kept, floor.recorded,
                                            static_cast<int64_t>(std::time(nullptr)));
  const long long number = verified.release.number;
  const long long kept = floor.kept ? floor.kept->number : floor.recorded;
  switch (verdict) {
    case TrustVerdict::Keep: {
      const bool written = fw::WriteWholeFile(folder + kKeptReleaseName, verified.signature + manifest);
      RecordReleaseNumber(folder, ReleaseRecord::Trusted, verified.release.number);
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
                 purpose, number, static_cast<long long>(verified.release.expires),
                 static_cast<long long>(std::time(nullptr)));
      return false;
  }
  return false;
}

namespace {

const char* RecordKey(ReleaseRecord which) { return which == ReleaseRecord::Installed ? "Number" : "Trusted"; }

}  // namespace

int64_t RecordedReleaseNumber(const std::string& folder, ReleaseRecord which) {
  char value[32] = {};
  ::GetPrivateProfileStringA("Release", RecordKey(which), "", value, sizeof value, (folder + kReleaseNumberFile).c_str());
  // Digits only, and few enough to mean a number: anything else is no record.
  const size_t length = std::strlen(value);
  if (length == 0 || length > 18) return -1;
  for (size_t i = 0; i < length; ++i)
    if (value[i] < '0' || value[i] > '9') return -1;
  return std::strtoll(value, nullptr, 10);
}

void RecordReleaseNumber(const std::string& folder, ReleaseRecord which, int64_t number) {
  if (number < 0 || RecordedReleaseNumber(folder, which) >= number) return;
  int64_t installed = RecordedReleaseNumber(folder, ReleaseRecord::Installed);
  int64_t trusted = RecordedReleaseNumber(folder, ReleaseRecord::Trusted);
  (which == ReleaseRecord::Installed ? installed : trusted) = number;
  std::string text = "[Release]\r\n";
  if (installed >= 0) text += "Number=" + std::to_string(installed) + "\r\n";
  if (trusted >= 0) text += "Trusted=" + std::to_string(trusted) + "\r\n";
  fw::WriteWholeFile(folder + kReleaseNumberFile, text);
}
