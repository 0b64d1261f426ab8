// What the product's installer runs, elevated, once: the service registered
// with the service manager (started on demand, as LocalSystem; interactive
// users may start it and query it, only administrators change, stop or
// delete it), the install folder registered for it and made writable by
// administrators only. And the way back.
#pragma once

#include <string>

// Both print what they did, and return a process exit code (0: done).
int InstallUpdateService(const std::wstring& folder);
int UninstallUpdateService();

// The service's own log, in its program's folder (administrators only).
std::wstring ServiceLogPath();
