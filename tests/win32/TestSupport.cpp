#include "TestSupport.h"

#include <algorithm>

#include <objidl.h>
#include <gdiplus.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
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
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::string p = fw::Utf8(path);
  return p.substr(0, p.rfind('\\') + 1);
}

std::string MakeTempFolder(const std::string& tag) {
  wchar_t base[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, base);
  std::string folder = fw::Utf8(base) + "updater-test-" + tag + "-" + std::to_string(::GetCurrentProcessId()) + "\\";
  RemoveTree(folder);
  ::CreateDirectoryW(W(folder).c_str(), nullptr);
  return folder;
}

void RemoveTree(const std::string& path) {
  std::wstring list = W(path);
  while (!list.empty() && (list.back() == L'\\' || list.back() == L'/')) list.pop_back();
  if (list.empty()) return;
  list.push_back(L'\0');
  SHFILEOPSTRUCTW op{};
  op.wFunc = FO_DELETE;
  op.pFrom = list.c_str();
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  ::SHFileOperationW(&op);
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
  std::wstring commandLine = W("\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  Process process;
  // Wine under a loaded machine now and then fails a start it makes a moment
  // later: a start is tried a few times, and a failure says why.
  for (int attempt = 0; attempt < 3 && !process.handle; ++attempt) {
    if (::CreateProcessW(W(exe).c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      ::CloseHandle(pi.hThread);
      process.handle.reset(pi.hProcess);
      process.id = pi.dwProcessId;
      break;
    }
    const DWORD error = ::GetLastError();
    fprintf(stderr, "StartProcess %s: error %lu (attempt %d)\n", exe.c_str(), error, attempt + 1);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) break;
    ::Sleep(250);
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

namespace testing_support {

std::string ReadFileBytes(const std::string& path) {
  std::string bytes;
  if (FILE* f = _wfopen(W(path).c_str(), L"rb")) {
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    fclose(f);
  }
  return bytes;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  FILE* f = _wfopen(W(path).c_str(), L"wb");
  if (!f) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

bool FileExists(const std::string& path) { return ::GetFileAttributesW(W(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string RandomBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<char>(x);
  }
  return bytes;
}

TestServer::TestServer(const std::string& stateDir) : dir_(WindowsPath(stateDir)) {
  if (!dir_.empty() && dir_.back() != '\\') dir_ += '\\';
  port_ = atoi(ReadFileBytes(dir_ + "port").c_str());
}

std::string TestServer::Url(const std::string& name) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
}

void TestServer::Put(const std::string& name, const std::string& bytes) const {
  std::string path = dir_ + "www\\" + name;
  for (char& c : path)
    if (c == '/') c = '\\';
  WriteFileBytes(path, bytes);
  // A file the folder's manifest lists under a name of its content is
  // fetched by that name: it changes with its fixed name.
  const size_t slash = path.rfind('\\');
  const std::string folder = path.substr(0, slash + 1), file = path.substr(slash + 1);
  const auto dots = std::count(file.begin(), file.end(), '.');
  const bool deflated = file.size() > 2 && file.compare(file.size() - 2, 2, ".z") == 0;
  if (!(dots == 1 || (dots == 2 && deflated))) return;
  const std::string key = file.substr(0, file.find('.')) + (deflated ? ".z" : "");
  char named[260] = {};
  ::GetPrivateProfileStringA("Files", key.c_str(), "", named, sizeof named, (folder + "ModelMD5.dll").c_str());
  if (named[0] && file != named) WriteFileBytes(folder + named, bytes);
}

void TestServer::Remove(const std::string& name) const { ::DeleteFileW(W(dir_ + "www\\" + name).c_str()); }

void TestServer::SetFaults(const std::string& json) const {
  // Written whole under another name and renamed, so the server never reads half.
  const std::string temp = dir_ + "faults.json.new";
  WriteFileBytes(temp, json);
  ::MoveFileExW(W(temp).c_str(), W(dir_ + "faults.json").c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::vector<std::string> TestServer::Requests(const std::string& path) const {
  std::vector<std::string> lines;
  const std::string log = ReadFileBytes(dir_ + "requests.log");
  // A file fetched under the name of its content counts as its fixed name.
  const std::string needle = "\"path\": \"" + path + "\"", alias = "\"as\": \"" + path + "\"";
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(start, end - start);
    if (line.find(needle) != std::string::npos || line.find(alias) != std::string::npos) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

void TestServer::ClearLog() const { WriteFileBytes(dir_ + "requests.log", ""); }

}  // namespace testing_support

namespace testing_support {

const char* const kCatalogueFiles[17] = {"Velkor.dll",  "Drimsa.dll",  "Tobrin.dll",   "Pravik.exe", "Mornel.dll",
                                         "Quintar.dll", "Brellow.dll", "KelmoTop.dll", "Lumsk.dll",  "Velnoria.exe",
                                         "Fetchkit.dll", "Wendra.dll", "Tamrik.dll",   "Corvish.dll", "Nubrel.exe",
                                         "skve.exe",    "Zibrun.exe"};
const char* const kServerNames[17] = {"Velkor.dll",  "Drimsa.dll",  "Tobrin.dll",   "Pravik.exe", "Mornel.dll",
                                      "Quintar.dll", "Brellow.dll", "KelmoTop.dll", "Lumsk.dll",  "Saffen.exe",
                                      "Fetchkit.dll", "Wendra.dll", "Tamrik.dll",   "Corvish.dll", "Nubrel.exe",
                                      "skve.exe",    "Zibrun.exe"};

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (!condition()) {
    if (::GetTickCount() - start > timeoutMs) return false;
    ::Sleep(30);
  }
  return true;
}

void InstallRelease(const std::string& releaseDir, const std::string& release, const std::string& folder,
                    const std::string& updater) {
  for (const char* m : kCatalogueFiles)
    ::CopyFileW(W(releaseDir + release + "\\" + m).c_str(), W(folder + m).c_str(), FALSE);
  ::CopyFileW(W(updater).c_str(), W(folder + "Updater.exe").c_str(), FALSE);
}

Process UpdaterStartedBy(const std::string& folder, DWORD timeoutMs, int nth) {
  Process updater;
  std::string log;
  size_t at = std::string::npos;
  WaitUntil([&] {
    log = ReadFileBytes(folder + "product.log");
    at = std::string::npos;
    for (int i = 0; i < nth; ++i)
      if ((at = log.find("updater ", at == std::string::npos ? 0 : at + 1)) == std::string::npos) break;
    return at != std::string::npos;
  }, timeoutMs);
  if (at == std::string::npos) return updater;
  updater.id = strtoul(log.c_str() + at + 8, nullptr, 10);
  updater.handle.reset(
      ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, updater.id));
  return updater;
}

void Click(HWND dialog, int id) {
  ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

std::string Text(HWND control) {
  wchar_t buffer[1024] = {};
  ::SendMessageW(control, WM_GETTEXT, sizeof buffer / sizeof buffer[0], reinterpret_cast<LPARAM>(buffer));
  // As the tests' literals are: code page 936, whatever the system's.
  return fw::Narrow(buffer, fw::kCodePageGbk);
}

bool Showing(HWND dialog, int id) { return ::IsWindowVisible(::GetDlgItem(dialog, id)) != FALSE; }

bool WaitForSuccess(HWND dialog, DWORD timeoutMs) { return WaitUntil([&] { return Showing(dialog, 1002); }, timeoutMs); }

void AskProductsToExit() {
  for (int i = 0; i < 20; ++i) {
    HANDLE e = ::OpenEventA(EVENT_ALL_ACCESS, FALSE, "*_KELMO_EXIT_*");
    if (!e) break;
    ::SetEvent(e);
    ::CloseHandle(e);
    ::Sleep(50);
  }
}

void EndProcessesIn(const std::string& folder) {
  fw::ScopedFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32First(snapshot.get(), &entry); more; more = ::Process32Next(snapshot.get(), &entry)) {
    fw::ScopedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                       entry.th32ProcessID));
    if (!process) continue;
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!::QueryFullProcessImageNameW(process.get(), 0, path, &size)) continue;
    const std::wstring wide = W(folder);
    if (_wcsnicmp(path, wide.c_str(), wide.size()) != 0) continue;
    ::TerminateProcess(process.get(), 1);
    ::WaitForSingleObject(process.get(), 5000);
  }
}

}  // namespace testing_support

namespace testing_support {

void ProductCase::SetUp() {
  server_ = std::make_unique<TestServer>(serverState_);
  ASSERT_TRUE(server_->ok());
  server_->SetFaults("{}");
  server_->ClearLog();
  install_ = MakeTempFolder("case");
  base_.clear();
  InstallRelease(releaseDir_, "old", install_, updater_exe_);
  // Short time-outs, so that a stalled server fails within the case.
  ::SetEnvironmentVariableA("FETCHKIT_TIMEOUTS", "2000,2000");
}

void ProductCase::TearDown() {
  server_->SetFaults("{}");
  StopAll();
  RemoveTree(install_);
}

void ProductCase::StopAll() {
  AskProductsToExit();
  for (Process* p : {&updater_, &product_})
    if (p->handle && WaitForExit(*p, 3000) == STILL_ACTIVE) ::TerminateProcess(p->handle.get(), 1);
  EndProcessesIn(install_);
}

void ProductCase::StartProduct(int mode, const std::string& extra) {
  ::DeleteFileW(W(install_ + "product.log").c_str());
  product_ = StartProcess(install_ + "Velnoria.exe",
                          "--update " + std::to_string(mode) + " --server " + (base_.empty() ? server_->Url(folder_) : base_) +
                              " " + extra);
  ASSERT_TRUE(product_.handle);
  updater_ = UpdaterStartedBy(install_, 10000);
  ASSERT_TRUE(updater_.handle) << "the product's log: " << ReadFileBytes(install_ + "product.log");
}

void ProductCase::StartProductPlain() {
  ::DeleteFileW(W(install_ + "product.log").c_str());
  product_ = StartProcess(install_ + "Velnoria.exe", "--server " + server_->Url(folder_));
  ASSERT_TRUE(product_.handle);
}

void SaveScreenPng(const std::string& path) {
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  const int w = ::GetSystemMetrics(SM_CXSCREEN), h = ::GetSystemMetrics(SM_CYSCREEN);
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  HBITMAP bitmap = ::CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, w, h, screen, 0, 0, SRCCOPY);
  ::SelectObject(memory, old);
  {
    Gdiplus::Bitmap image(bitmap, nullptr);
    UINT count = 0, size = 0;
    Gdiplus::GetImageEncodersSize(&count, &size);
    std::vector<char> buffer(size);
    auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    Gdiplus::GetImageEncoders(count, size, encoders);
    for (UINT i = 0; i < count; ++i)
      if (wcscmp(encoders[i].MimeType, L"image/png") == 0) {
        image.Save(W(path).c_str(), &encoders[i].Clsid, nullptr);
      }
  }
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  Gdiplus::GdiplusShutdown(token);
}


void ImportRegistry(const std::string& text) {
  const std::string file = MakeTempFolder("policy") + "policy.reg";
  WriteFileBytes(file, "REGEDIT4\r\n\r\n" + text);
  Process regedit = StartProcess("C:\\windows\\regedit.exe", "/S \"" + file + "\"");
  WaitForExit(regedit, 20000);
}

}  // namespace testing_support
