#include "engine/ProductLink.h"

#include <shellapi.h>

#include <cstring>
#include <vector>

#include "framework/Files.h"
#include "framework/Paths.h"

void UpdaterExitWatcher(HWND window, UINT message) {
  // Opens the event when the product created it first.
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, kUpdaterExitEvent);
  if (!event) return;
  ::WaitForSingleObject(event, INFINITE);
  // The handle, not an object: whatever held the window may be gone by now.
  ::PostMessageA(window, message, 0, 0);
}

BOOL RequestProductExit(std::string eventName) {
  HANDLE event = ::OpenEventA(EVENT_ALL_ACCESS, FALSE, eventName.c_str());
  if (!event) return 0;
  return ::SetEvent(event);  // the handle stays open for the process's life
}

namespace {

bool EndsWith(const std::string& s, const char* suffix) {
  const size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

}  // namespace

BOOL LaunchProgram(std::string path, HANDLE* process, std::string parameters) {
  *process = nullptr;
  if (EndsWith(path, ".dat") || EndsWith(path, ".download")) {
    const std::string folder = GetDirectoryOfPath(path, IsAnsiLeadByte);
    std::vector<char> commandLine(parameters.begin(), parameters.end());
    commandLine.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const BOOL started = ::CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                          folder.empty() ? nullptr : folder.c_str(), &startup, &info);
    *process = started ? info.hProcess : nullptr;
    if (info.hThread) ::CloseHandle(info.hThread);
    if (started) return started;
  }
  if (EndsWith(path, ".dat")) {
    const std::string twin = path.substr(0, path.size() - 4) + ".exe";
    ::CopyFileA(path.c_str(), twin.c_str(), FALSE);
    path = twin;
  }
  const std::string folder = GetDirectoryOfPath(path, IsAnsiLeadByte);
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  // No error box: nothing waits for a click in a hidden updater.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpFile = path.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = folder.c_str();
  info.nShow = SW_SHOWNORMAL;
  const BOOL ok = ::ShellExecuteExA(&info);
  *process = info.hProcess;
  return ok;
}
