// The hand-off block the product writes into shared memory.
#include <cstring>

#include "FuzzCheck.h"
#include "app/HandoffBlock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HandoffValues values;
  std::memset(values.serverBase, 'x', sizeof values.serverBase);
  if (ParseHandoff(data, size, values)) FUZZ_CHECK(std::memchr(values.serverBase, 0, kServerBaseSize) != nullptr);
  return 0;
}
