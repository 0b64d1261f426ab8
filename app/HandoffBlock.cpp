#include "app/HandoffBlock.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t ReadLittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool ParseHandoff(const uint8_t* data, size_t size, HandoffValues& out) {
  if (!data || size <= kHandoffServerBaseOffset) return false;
  const uint8_t* base = data + kHandoffServerBaseOffset;
  const size_t limit = std::min(size - kHandoffServerBaseOffset, kServerBaseSize);
  const void* terminator = std::memchr(base, 0, limit);
  if (!terminator) return false;
  const size_t length = static_cast<const uint8_t*>(terminator) - base;
  out.mode = static_cast<int32_t>(ReadLittleEndian32(data));
  out.productWindow = ReadLittleEndian32(data + 4);
  std::memset(out.serverBase, 0, sizeof out.serverBase);
  std::memcpy(out.serverBase, base, length + 1);
  return true;
}
