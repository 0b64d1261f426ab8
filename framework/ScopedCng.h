// Owners of CNG (bcrypt) handles, beside the framework's other handle owners.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include "framework/Scoped.h"

namespace fw {

struct CngAlgorithmTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct CngHashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::BCryptDestroyHash(h); }
};
struct CngKeyTraits {
  using Handle = BCRYPT_KEY_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::BCryptDestroyKey(h); }
};

using ScopedCngAlgorithm = Scoped<CngAlgorithmTraits>;
using ScopedCngHash = Scoped<CngHashTraits>;
using ScopedCngKey = Scoped<CngKeyTraits>;

}  // namespace fw
