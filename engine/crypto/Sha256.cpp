#include "engine/crypto/Sha256.h"

#include <bcrypt.h>

std::string HexOfBytes(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    hex += kHex[c >> 4];
    hex += kHex[c & 15];
  }
  return hex;
}

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
  return digest.empty() ? std::string() : HexOfBytes(digest);
}

std::string Sha256OfBytes(const std::string& bytes) {
  Sha256 hash;
  if (!hash.Add(bytes.data(), bytes.size())) return {};
  return hash.FinishHex();
}
