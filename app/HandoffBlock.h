// The work order the product writes into named shared memory before it starts
// the updater: mode, product window, server base.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kHandoffName[] = "@_KELMO_UPDATE_@";
constexpr size_t kServerBaseSize = 260;
constexpr size_t kHandoffServerBaseOffset = 8;

struct HandoffValues {
  int32_t mode = 0;
  uint32_t productWindow = 0;
  char serverBase[kServerBaseSize] = {};
};

// Reads the block from `size` readable bytes. Refuses (false) a block too
// small for the two integers and a server base that is not terminated within
// the block and within 260 bytes; never reads past `size` nor writes past
// the 260 bytes of the server base.
bool ParseHandoff(const uint8_t* data, size_t size, HandoffValues& out);
