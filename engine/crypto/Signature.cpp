#include "engine/crypto/Signature.h"

#include <bcrypt.h>

#include <cstring>

#include "engine/crypto/Sha256.h"
#include "framework/ScopedCng.h"

namespace {

// The DER head of a P-256 SubjectPublicKeyInfo with an uncompressed point.
const unsigned char kP256SpkiHead[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
                                       0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

}  // namespace

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
  if (signature.size() != kP256SignatureSize) return false;
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
