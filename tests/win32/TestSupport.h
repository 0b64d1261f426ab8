// Helpers of the Windows test programs: paths, processes, windows, mappings.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "framework/Scoped.h"

namespace testing_support {

// A path handed over from the Linux side ("/a/b") as Wine sees it ("Z:\a\b").
std::string WindowsPath(const std::string& hostPath);

// The folder of the running test program, with a trailing backslash.
std::string ProgramDirectory();

// A fresh empty folder under the system's temporary folder.
std::string MakeTempFolder(const std::string& tag);
void RemoveTree(const std::string& path);

// Named shared memory of `size` bytes holding `bytes` (the rest zero).
fw::ScopedHandle CreateNamedMapping(const char* name, const std::vector<unsigned char>& bytes, DWORD size);
std::vector<unsigned char> HandoffBytes(int mode, HWND productWindow, const std::string& serverBase);

struct Process {
  fw::ScopedHandle handle;
  DWORD id = 0;
};
Process StartProcess(const std::string& exe, const std::string& arguments = "");
// Exit code, or STILL_ACTIVE when it did not end within `timeoutMs`.
DWORD WaitForExit(const Process& process, DWORD timeoutMs);

// Top-level windows of a process; only visible ones when asked.
std::vector<HWND> WindowsOfProcess(DWORD processId, bool visibleOnly);
// Polls until the process shows a visible top-level window; null on time-out.
HWND WaitForVisibleWindow(const Process& process, DWORD timeoutMs);

}  // namespace testing_support
