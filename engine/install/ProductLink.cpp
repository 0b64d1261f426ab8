#include "engine/install/ProductLink.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <vector>

#include "framework/Files.h"
#include "framework/Paths.h"
#include "framework/Scoped.h"

void UpdaterExitWatcher(HWND window, UINT message) {
  // Opens the event when the product created it first.
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, kUpdaterExitEvent);
  if (!event) return;
  ::WaitForSingleObject(event, INFINITE);
  // The handle, not an object: whatever held the window may be gone by now.
  ::PostMessageW(window, message, 0, 0);
}

namespace {

bool SameText(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() && ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                                        static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// A process that runs the program file `executable`, other than this one; null when none does.
fw::ScopedHandle OneProcessRunning(const std::wstring& executable) {
  fw::ScopedFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return {};
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  std::wstring image(32768, L'\0');  // the longest path there is
  for (BOOL more = ::Process32First(snapshot.get(), &entry); more; more = ::Process32Next(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == ::GetCurrentProcessId()) continue;
    fw::ScopedHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    if (!process) continue;
    DWORD size = static_cast<DWORD>(image.size());
    if (::QueryFullProcessImageNameW(process.get(), 0, image.data(), &size) &&
        SameText(image.substr(0, size), executable) &&
        ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT)
      return process;
  }
  return {};
}

}  // namespace

bool WaitUntilNoProductRuns(HANDLE product, const std::wstring& executable, DWORD ms) {
  const DWORD started = ::GetTickCount();
  auto left = [&] {
    const DWORD spent = ::GetTickCount() - started;
    return spent < ms ? ms - spent : 0;
  };
  if (product && ::WaitForSingleObject(product, left()) == WAIT_TIMEOUT) return false;
  // The window the block named may have been remade, or the process not
  // openable: whatever runs the product's program counts as well.
  for (;;) {
    fw::ScopedHandle running = OneProcessRunning(executable);
    if (!running) return true;
    if (::WaitForSingleObject(running.get(), left()) == WAIT_TIMEOUT) return false;
  }
}

BOOL RequestProductExit(std::string eventName) {
  HANDLE event = ::OpenEventA(EVENT_ALL_ACCESS, FALSE, eventName.c_str());
  if (!event) return 0;
  return ::SetEvent(event);  // the handle stays open for the process's life
}

namespace {

bool EndsWith(const std::wstring& s, const wchar_t* suffix) {
  const size_t n = wcslen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

}  // namespace

BOOL LaunchProgram(std::wstring path, HANDLE* process, std::wstring parameters) {
  *process = nullptr;
  if (EndsWith(path, L".dat") || EndsWith(path, L".download")) {
    const std::wstring folder = GetDirectoryOfPath(path);
    std::vector<wchar_t> commandLine(parameters.begin(), parameters.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const BOOL started = ::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                          folder.empty() ? nullptr : folder.c_str(), &startup, &info);
    *process = started ? info.hProcess : nullptr;
    if (info.hThread) ::CloseHandle(info.hThread);
    if (started) return started;
  }
  if (EndsWith(path, L".dat")) {
    const std::wstring twin = path.substr(0, path.size() - 4) + L".exe";
    ::CopyFileW(path.c_str(), twin.c_str(), FALSE);
    path = twin;
  }
  const std::wstring folder = GetDirectoryOfPath(path);
  // The finish's thread has no apartment of its own: the shell needs one.
  const fw::ScopedComApartment com;
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  // No error box: nothing waits for a click in a hidden updater.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpFile = path.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = folder.c_str();
  info.nShow = SW_SHOWNORMAL;
  const BOOL ok = ::ShellExecuteExW(&info);
  *process = info.hProcess;
  return ok;
}
