// The owner of WinINet handles, beside the framework's other handle owners.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "framework/Scoped.h"

namespace fw {

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::InternetCloseHandle(h); }
};

using ScopedInternet = Scoped<InternetHandleTraits>;

}  // namespace fw
