#include "engine/crypto/Sha256.h"

#include <bcrypt.h>

#include <algorithm>
#include <cstring>

#include "engine/crypto/Sha256Blocks.h"

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

Sha256::Sha256(Engine engine) : ownBlocks_(engine == Engine::Fastest && Sha256InstructionsAvailable()) {
  if (ownBlocks_) {
    static const uint32_t kStart[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(state_, kStart, sizeof state_);
    return;
  }
  if (::BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    algorithm_.release();
    return;
  }
  if (::BCryptCreateHash(algorithm_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0) != 0) hash_.release();
}

Sha256::~Sha256() = default;

bool Sha256::Add(const void* data, size_t size) {
  if (!ownBlocks_)
    return hash_ &&
           ::BCryptHashData(hash_.get(), static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(size), 0) == 0;
  if (size == 0) return true;
  const auto* bytes = static_cast<const uint8_t*>(data);
  length_ += size;
  if (blockUsed_ > 0) {
    const size_t n = std::min(size, sizeof block_ - blockUsed_);
    std::memcpy(block_ + blockUsed_, bytes, n);
    blockUsed_ += n;
    bytes += n;
    size -= n;
    if (blockUsed_ < sizeof block_) return true;
    Sha256CompressBlocks(state_, block_, 1);
    blockUsed_ = 0;
  }
  Sha256CompressBlocks(state_, bytes, size / 64);
  blockUsed_ = size % 64;
  std::memcpy(block_, bytes + size - blockUsed_, blockUsed_);
  return true;
}

std::string Sha256::Finish() {
  unsigned char digest[32];
  if (ownBlocks_) {
    // The padding: a 1 bit, zeros, and the length in bits, big-endian.
    const uint64_t bits = length_ * 8;
    unsigned char tail[72] = {0x80};
    const size_t pad = (blockUsed_ < 56 ? 56 : 120) - blockUsed_;
    for (int i = 0; i < 8; ++i) tail[pad + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Add(tail, pad + 8);
    for (int i = 0; i < 8; ++i)
      for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<unsigned char>(state_[i] >> (24 - 8 * j));
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
  }
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
