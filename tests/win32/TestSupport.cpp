#include "TestSupport.h"

#include <shellapi.h>

#include <cstring>

namespace testing_support {

std::string WindowsPath(const std::string& hostPath) {
  if (hostPath.empty() || hostPath[0] != '/') return hostPath;
  std::string path = "Z:" + hostPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::string ProgramDirectory() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p = path;
  return p.substr(0, p.rfind('\\') + 1);
}

std::string MakeTempFolder(const std::string& tag) {
  char base[MAX_PATH] = {};
  ::GetTempPathA(MAX_PATH, base);
  std::string folder = std::string(base) + "updater-test-" + tag + "-" + std::to_string(::GetCurrentProcessId()) + "\\";
  RemoveTree(folder);
  ::CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

void RemoveTree(const std::string& path) {
  std::string list = path;
  while (!list.empty() && (list.back() == '\\' || list.back() == '/')) list.pop_back();
  if (list.empty()) return;
  list.push_back('\0');
  SHFILEOPSTRUCTA op{};
  op.wFunc = FO_DELETE;
  op.pFrom = list.c_str();
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  ::SHFileOperationA(&op);
}

fw::ScopedHandle CreateNamedMapping(const char* name, const std::vector<unsigned char>& bytes, DWORD size) {
  fw::ScopedHandle mapping(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name));
  if (!mapping) return mapping;
  void* view = ::MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view) {
    std::memcpy(view, bytes.data(), std::min<size_t>(bytes.size(), size));
    ::UnmapViewOfFile(view);
  }
  return mapping;
}

std::vector<unsigned char> HandoffBytes(int mode, HWND productWindow, const std::string& serverBase) {
  std::vector<unsigned char> bytes(8 + serverBase.size() + 1, 0);
  const auto window = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(productWindow));
  std::memcpy(bytes.data(), &mode, 4);
  std::memcpy(bytes.data() + 4, &window, 4);
  std::memcpy(bytes.data() + 8, serverBase.data(), serverBase.size());
  return bytes;
}

Process StartProcess(const std::string& exe, const std::string& arguments) {
  std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  Process process;
  if (::CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    ::CloseHandle(pi.hThread);
    process.handle.reset(pi.hProcess);
    process.id = pi.dwProcessId;
  }
  return process;
}

DWORD WaitForExit(const Process& process, DWORD timeoutMs) {
  if (::WaitForSingleObject(process.handle.get(), timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  ::GetExitCodeProcess(process.handle.get(), &code);
  return code;
}

namespace {
struct Search {
  DWORD processId;
  bool visibleOnly;
  std::vector<HWND> found;
};
BOOL CALLBACK CollectWindow(HWND wnd, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(wnd, &pid);
  if (pid == search->processId && (!search->visibleOnly || ::IsWindowVisible(wnd))) search->found.push_back(wnd);
  return TRUE;
}
}  // namespace

std::vector<HWND> WindowsOfProcess(DWORD processId, bool visibleOnly) {
  Search search{processId, visibleOnly, {}};
  ::EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForVisibleWindow(const Process& process, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < timeoutMs) {
    const auto windows = WindowsOfProcess(process.id, true);
    if (!windows.empty()) return windows.front();
    if (::WaitForSingleObject(process.handle.get(), 50) == WAIT_OBJECT_0) return nullptr;
  }
  return nullptr;
}

}  // namespace testing_support
