// Owners for the service manager's handles, registry keys and the local
// memory security functions hand out.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include "framework/Scoped.h"

namespace fw {

struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseServiceHandle(h); }
};
struct KeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::RegCloseKey(h); }
};
struct LocalMemoryTraits {
  using Handle = HLOCAL;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::LocalFree(h); }
};

using ScopedService = Scoped<ServiceHandleTraits>;
using ScopedKey = Scoped<KeyTraits>;
using ScopedLocal = Scoped<LocalMemoryTraits>;

}  // namespace fw
