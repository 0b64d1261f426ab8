#include "engine/ReleaseTrust.h"

#include <bcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/SmallFetch.h"

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

std::optional<SignedRelease> FetchVerifiedRelease(const std::string& serverBase, const std::string& folder,
                                                  const std::string& manifest, const std::vector<std::string>& keys,
                                                  int timeoutMs, int deadlineMs) {
  const SmallFile signature(serverBase + kSignatureFileName, folder + kSignatureLocalName,
                            {static_cast<int64_t>(kSignatureSize), timeoutMs, deadlineMs, false});
  if (!signature.ok()) return std::nullopt;
  return VerifiedRelease(manifest, signature.bytes(), keys);
}

int64_t InstalledReleaseNumber(const std::string& folder) {
  char value[32] = {};
  ::GetPrivateProfileStringA("Release", "Number", "", value, sizeof value, (folder + kReleaseNumberFile).c_str());
  if (!value[0]) return -1;
  char* end = nullptr;
  const long long n = std::strtoll(value, &end, 10);
  return *end == '\0' && n >= 0 ? n : -1;
}

void RecordInstalledRelease(const std::string& folder, int64_t number) {
  ::WritePrivateProfileStringA("Release", "Number", std::to_string(number).c_str(),
                               (folder + kReleaseNumberFile).c_str());
}
