#include "engine/crypto/Random.h"

#include <windows.h>
#include <bcrypt.h>

std::optional<std::string> RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  if (count == 0) return bytes;
  if (::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(count),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    return std::nullopt;
  return bytes;
}
