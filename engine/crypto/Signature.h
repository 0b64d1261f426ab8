// Release signatures: ECDSA P-256 over SHA-256, verified with the platform's
// CNG functions against the public keys the program carries.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

// An ECDSA P-256 signature: r then s, 32 bytes each.
constexpr size_t kP256SignatureSize = 64;

// Resource ids of the embedded public keys (RCDATA, the .pub files of
// `update-release keygen`): the first that is missing ends the list.
constexpr int kReleaseKeyResourceFirst = 300;
constexpr int kReleaseKeyResourceCount = 10;

// The keys `module` carries, each as the raw point X || Y (64 bytes).
std::vector<std::string> LoadReleaseKeys(HMODULE module);

// True when `signature` (r || s) of `bytes` verifies with one of `keys`.
bool VerifyReleaseSignature(const std::string& bytes, const std::string& signature,
                            const std::vector<std::string>& keys);
