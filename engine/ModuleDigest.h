// Keyed 16-byte fingerprint of a module file, rendered as 32 lower-case hex
// digits. The server's manifest lists this value for every module, so the
// result must agree byte for byte with the release tool's.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// The key every manifest is made with.
extern const char kModuleDigestKey[];

// Empty string when the file is missing or unreadable or the key is empty.
std::string ModuleDigest(const std::string& path, const std::string& key);

// The digest of bytes already in memory; `length` plays the file length.
std::string ModuleDigestOfBytes(const uint8_t* data, int32_t length, const std::string& key);

// Streams the file through both passes with a bounded buffer.
std::string ModuleDigestOfStream(std::FILE* file, int32_t length, const std::string& key);

// A manifest value a module can be checked against: exactly 32 hexadecimal
// digits, in either case.
bool IsWellFormedDigest(const std::string& text);

// The value as ModuleDigest renders it: hexadecimal letters in lower case.
std::string LowerCaseDigest(std::string text);
