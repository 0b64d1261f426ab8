#include "Signing.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

namespace signing {

namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(FILE* p) const { std::fclose(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

bool ReadAll(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

// Opens `path` for writing with mode `mode`, never following or reusing an
// existing file unless `replace`.
Owned<FILE> Create(const std::string& path, mode_t mode, bool replace) {
  if (replace) ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
  if (fd < 0) return nullptr;
  ::fchmod(fd, mode);  // whatever the umask says
  return Owned<FILE>(::fdopen(fd, "wb"));
}

}  // namespace

bool GenerateKey(const std::string& keyFile, bool force, std::string& error) {
  const std::string pubFile = keyFile + ".pub";
  struct stat st{};
  if (!force && (::stat(keyFile.c_str(), &st) == 0 || ::stat(pubFile.c_str(), &st) == 0)) {
    error = keyFile + " or its .pub exists already; give --force to replace the key";
    return false;
  }
  Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) {
    error = "cannot make a P-256 key";
    return false;
  }
  Owned<FILE> priv = Create(keyFile, 0600, force);
  if (!priv || !PEM_write_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
    error = "cannot write " + keyFile;
    return false;
  }
  priv.reset();
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key.get(), &der);
  Owned<FILE> pub = Create(pubFile, 0644, force);
  const bool written = length > 0 && pub && std::fwrite(der, 1, static_cast<size_t>(length), pub.get()) ==
                                                static_cast<size_t>(length);
  OPENSSL_free(der);
  if (!written) {
    error = "cannot write " + pubFile;
    return false;
  }
  return true;
}

namespace {

Owned<EVP_PKEY> ReadPrivateKey(const std::string& keyFile, std::string& error) {
  Owned<FILE> file(std::fopen(keyFile.c_str(), "rb"));
  Owned<EVP_PKEY> key(file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key || EVP_PKEY_get_bits(key.get()) != 256 || !EVP_PKEY_is_a(key.get(), "EC")) {
    error = "cannot read a P-256 private key from " + keyFile;
    key.reset();
  }
  return key;
}

bool VerifyWith(EVP_PKEY* key, const std::string& bytes, const std::string& signature, std::string& error);

}  // namespace

bool Sign(const std::string& keyFile, const std::string& bytes, std::string& signature, std::string& error) {
  const Owned<EVP_PKEY> key = ReadPrivateKey(keyFile, error);
  if (!key) return false;
  Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  size_t length = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(bytes.data()),
                     bytes.size()) != 1) {
    error = "cannot sign";
    return false;
  }
  std::string der(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(der.data()), &length,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1) {
    error = "cannot sign";
    return false;
  }
  // DER (SEQUENCE of r and s) to raw r || s, each left-padded to 32 bytes.
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  Owned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)));
  if (!sig) {
    error = "cannot read the signature";
    return false;
  }
  signature.assign(64, '\0');
  BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), reinterpret_cast<unsigned char*>(signature.data()), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), reinterpret_cast<unsigned char*>(signature.data()) + 32, 32);
  return true;
}

bool Verify(const std::string& publicKeyFile, const std::string& bytes, const std::string& signature,
            std::string& error) {
  std::string der;
  if (!ReadAll(publicKeyFile, der)) {
    error = "cannot read " + publicKeyFile;
    return false;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  Owned<EVP_PKEY> key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
  if (!key || !EVP_PKEY_is_a(key.get(), "EC") || EVP_PKEY_get_bits(key.get()) != 256) {
    error = publicKeyFile + " is not a P-256 public key";
    return false;
  }
  return VerifyWith(key.get(), bytes, signature, error);
}

bool VerifyWithKeyOf(const std::string& keyFile, const std::string& bytes, const std::string& signature,
                     std::string& error) {
  const Owned<EVP_PKEY> key = ReadPrivateKey(keyFile, error);
  return key && VerifyWith(key.get(), bytes, signature, error);
}

namespace {

bool VerifyWith(EVP_PKEY* key, const std::string& bytes, const std::string& signature, std::string& error) {
  if (signature.size() != 64) {
    error = "the signature is " + std::to_string(signature.size()) + " bytes, not 64";
    return false;
  }
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(reinterpret_cast<const unsigned char*>(signature.data()), 32, nullptr);
  BIGNUM* s = BN_bin2bn(reinterpret_cast<const unsigned char*>(signature.data()) + 32, 32, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    error = "cannot read the signature";
    return false;
  }
  unsigned char* sigDer = nullptr;
  const int sigLength = i2d_ECDSA_SIG(sig.get(), &sigDer);
  Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  const bool ok = sigLength > 0 && ctx &&
                  EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
                  EVP_DigestVerify(ctx.get(), sigDer, static_cast<size_t>(sigLength),
                                   reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == 1;
  OPENSSL_free(sigDer);
  if (!ok) error = "the signature does not match the manifest";
  return ok;
}

}  // namespace

namespace {

std::string Hex(const unsigned char* digest, unsigned int length) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

}  // namespace

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return Hex(digest, length);
}

bool Sha256OfFile(const std::string& path, std::string& hex, int64_t& size) {
  Owned<FILE> file(std::fopen(path.c_str(), "rb"));
  Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (!file || !ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return false;
  std::string buffer(1 << 20, '\0');
  size = 0;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
    EVP_DigestUpdate(ctx.get(), buffer.data(), n);
    size += static_cast<int64_t>(n);
  }
  if (std::ferror(file.get())) return false;
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  hex = Hex(digest, length);
  return true;
}

}  // namespace signing
