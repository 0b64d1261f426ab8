// Keyed 16-byte fingerprint of a module file, rendered as 32 lower-case hex
// digits. The server's manifest lists this value for every module, so the
// result must agree byte for byte with the release tool's.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// The key every manifest is made with.
extern const char kModuleDigestKey[];

// Empty string when the file is missing or unreadable or the key is empty.
std::string ModuleDigest(const std::string& path, const std::string& key);
#ifdef _WIN32
// The same of a file at a UTF-16 path.
std::string ModuleDigest(const std::wstring& path, const std::string& key);
#endif

// The digest of bytes already in memory; `length` plays the file length.
std::string ModuleDigestOfBytes(const uint8_t* data, int32_t length, const std::string& key);

// Streams the file through both passes with a bounded buffer.
std::string ModuleDigestOfStream(std::FILE* file, int32_t length, const std::string& key);

// The fingerprint of bytes that come in pieces, in order (as they arrive or
// are read), when the length is known beforehand: one pass, whatever the
// pieces. Holds 64 KB at most besides itself.
class ModuleDigester {
 public:
  // False when the key or the length needs the step-by-step rules, which
  // take the file twice: such a digester fingerprints nothing.
  static bool Streams(const std::string& key, int32_t length);

  ModuleDigester(const std::string& key, int32_t length);
  ~ModuleDigester();
  ModuleDigester(const ModuleDigester&) = delete;
  ModuleDigester& operator=(const ModuleDigester&) = delete;

  void Add(const uint8_t* bytes, size_t count);
  // The 32 digits; empty when the bytes added are not `length` bytes, or
  // the digester cannot stream.
  std::string Finish();

 private:
  struct Tables;
  using Map = std::array<uint32_t, 16>;
  void Work(const uint8_t* bytes, size_t count);
  void Take(const Map& forwardMap, const Map& backwardMap);

  int32_t length_;
  bool streams_;
  std::unique_ptr<Tables> tables_;
  Map forward_{};   // the state after the forward pass so far
  Map backward_{};  // the backward pass over the bytes so far, as a map
  std::unique_ptr<uint8_t[]> pending_;
  size_t pendingSize_ = 0;
  uint64_t added_ = 0;
};

// A manifest value a module can be checked against: exactly 32 hexadecimal
// digits, in either case.
bool IsWellFormedDigest(const std::string& text);

// The value as ModuleDigest renders it: hexadecimal letters in lower case.
std::string LowerCaseDigest(std::string text);
