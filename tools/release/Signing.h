// Release keys and signatures for the release tool (OpenSSL's libcrypto):
// ECDSA P-256 over SHA-256. The private key is a PEM file readable by its
// owner only; the public key (KEYFILE.pub) is the DER SubjectPublicKeyInfo,
// the form the updater's build embeds. Signatures are raw r then s, 32 bytes
// each, the form Windows' CNG verifies.
#pragma once

#include <cstdint>
#include <string>

namespace signing {

// Writes a new key pair to `keyFile` and `keyFile`.pub. Refuses to replace
// an existing key unless `force`.
bool GenerateKey(const std::string& keyFile, bool force, std::string& error);

// The raw 64-byte signature of `bytes` with the private key in `keyFile`.
bool Sign(const std::string& keyFile, const std::string& bytes, std::string& signature, std::string& error);

// True when `signature` (raw, 64 bytes) is the key's signature of `bytes`.
bool Verify(const std::string& publicKeyFile, const std::string& bytes, const std::string& signature,
            std::string& error);

// The same check with the public half of the private key in `keyFile`: what
// the tool signs anew, it first checks was signed with that key.
bool VerifyWithKeyOf(const std::string& keyFile, const std::string& bytes, const std::string& signature,
                     std::string& error);

// SHA-256 of `bytes` as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const std::string& bytes);
// SHA-256 and size of a file, streamed; false when it cannot be read.
bool Sha256OfFile(const std::string& path, std::string& hex, int64_t& size);

}  // namespace signing
