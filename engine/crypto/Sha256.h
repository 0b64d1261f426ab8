// SHA-256 on the processor's SHA extensions where it has them, else through
// the platform's CNG functions (those that exist since Windows Vista).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/ScopedCng.h"

// Streams bytes through SHA-256.
class Sha256 {
 public:
  enum class Engine { Fastest, Platform };
  explicit Sha256(Engine engine = Engine::Fastest);
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  bool Add(const void* data, size_t size);
  // The 32-byte digest; empty on failure.
  std::string Finish();
  // The same as 64 lower-case hexadecimal digits.
  std::string FinishHex();

 private:
  bool ownBlocks_;  // the processor's instructions, else CNG
  uint32_t state_[8];
  unsigned char block_[64];
  size_t blockUsed_ = 0;
  uint64_t length_ = 0;
  fw::ScopedCngAlgorithm algorithm_;
  fw::ScopedCngHash hash_;  // goes first
};

// SHA-256 as 64 lower-case hexadecimal digits.
std::string Sha256OfBytes(const std::string& bytes);

// Bytes as lower-case hexadecimal digits, two a byte.
std::string HexOfBytes(const std::string& bytes);
