// A small stand-in for the product, for tests, demos and as the integration
// example for product teams. Installed as "Velnoria.exe" next to Updater.exe.
//
//   Velnoria.exe [--update MODE --server URL] [--ignore-exit] [--hold FILE]
//                [--exit-delay MS] [--updater-exit-after MS] [--lifetime MS]
//                [--remake-window]
//
// At its start, before it loads anything of its own, the product looks for
// the updater's install journal (Install.journal): an installation that was
// stopped half-way. It then starts the updater in mode 3 and waits for it
// (at most a minute), which finishes or undoes that installation; should its
// own file have changed meanwhile, it starts anew from it. In a per-machine
// install (its folder registered for the updater's service) it does so at
// every start by its user: the updater then also installs a pre-load
// through the service.
//
// --update MODE  fill the hand-off block and start Updater.exe from this folder
// --ignore-exit  do not exit when the updater asks
// --hold FILE    keep FILE of this folder open without sharing while running
// --exit-delay   wait this long before exiting when asked
// --updater-exit-after  set the updater-exit event after this long
// --lifetime     exit on its own after this long (default 120000)
// --remake-window  make a new main window once the updater is started (as
//                after a skin change): the hand-off block names one that is gone
//
// Every start and event is appended to product.log in this folder (UTF-8).
//
// Once its window is up and its modules are loaded, the product sets its
// health event ("Local\Velnoria.Healthy.<its process id>", manual reset,
// kept open while it runs): an updater watching a new release then lets the
// previous one go. After a release it failed on was put back, the updater's
// Reverted.ini names it: the product shows a one-line notice.
//
// For the tests, a line "stand-in: WHAT" at the end of this program's own
// file makes a release of it misbehave at start: "crash" (an access
// violation), "exit N after MS", "health after MS" or "no health".
//
// A Unicode program: its folder may have any name (软件, Ünïcødé-软件-ß) on a
// Windows of any display language, so it names itself and starts the updater
// by UTF-16 paths, never through the system's 8-bit code page.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

std::wstring g_folder;

std::string Utf8(const std::wstring& text) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
  return bytes;
}

void Log(const std::string& line) {
  if (FILE* f = _wfopen((g_folder + L"product.log").c_str(), L"a")) {
    std::fprintf(f, "%s pid=%lu\n", line.c_str(), ::GetCurrentProcessId());
    std::fclose(f);
  }
}

struct Options {
  int mode = 0;
  std::string server;
  bool ignoreExit = false;
  std::wstring hold;
  DWORD exitDelay = 0;
  DWORD updaterExitAfter = 0;
  DWORD lifetime = 120000;
  bool remakeWindow = false;
};

Options Parse(int argc, wchar_t** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    auto nextWide = [&]() -> std::wstring { return i + 1 < argc ? argv[++i] : L""; };
    auto next = [&]() -> std::string { return Utf8(nextWide()); };
    if (a == L"--update") o.mode = std::atoi(next().c_str());
    else if (a == L"--server") o.server = next();
    else if (a == L"--ignore-exit") o.ignoreExit = true;
    else if (a == L"--hold") o.hold = nextWide();
    else if (a == L"--exit-delay") o.exitDelay = std::strtoul(next().c_str(), nullptr, 10);
    else if (a == L"--updater-exit-after") o.updaterExitAfter = std::strtoul(next().c_str(), nullptr, 10);
    else if (a == L"--lifetime") o.lifetime = std::strtoul(next().c_str(), nullptr, 10);
    else if (a == L"--remake-window") o.remakeWindow = true;
  }
  return o;
}

// The work order: mode, this window, the server base (at most 259 bytes).
HANDLE WriteHandoff(int mode, HWND window, const std::string& server) {
  const DWORD size = 8 + 260;
  HANDLE mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, "@_KELMO_UPDATE_@");
  if (!mapping) return nullptr;
  auto* view = static_cast<unsigned char*>(::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size));
  if (view) {
    const int32_t m = mode;
    const uint32_t w = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window));
    std::memcpy(view, &m, 4);
    std::memcpy(view + 4, &w, 4);
    std::memset(view + 8, 0, 260);
    std::memcpy(view + 8, server.data(), server.size() < 259 ? server.size() : 259);
    ::UnmapViewOfFile(view);
  }
  return mapping;  // held open while the product runs, so the updater finds it
}

// Starts Updater.exe of this folder with `mode` in the block; its process, or null.
HANDLE StartUpdater(int mode, HWND window, const std::string& server, HANDLE& handoff) {
  handoff = WriteHandoff(mode, window, server);
  const std::wstring updater = g_folder + L"Updater.exe";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring commandLine = L"\"" + updater + L"\"";
  if (!::CreateProcessW(updater.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, g_folder.c_str(), &si,
                        &pi)) {
    Log("updater-start-failed");
    return nullptr;
  }
  Log("updater " + std::to_string(pi.dwProcessId));
  ::CloseHandle(pi.hThread);
  return pi.hProcess;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A per-machine install: the folder is registered for the updater's
// service (HKLM, the 32-bit view), and only the service writes it.
bool IsMachineInstall() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Velnoria\\Updater\\MachineInstalls", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
    return false;
  wchar_t value[MAX_PATH + 1] = {};
  DWORD type = 0, size = sizeof value - sizeof(wchar_t);
  const bool found = ::RegQueryValueExW(key, g_folder.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
                         ERROR_SUCCESS && type == REG_SZ;
  ::RegCloseKey(key);
  return found;
}

// When this program's file was last written.
ULONGLONG WriteTime(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

// An installation stopped half-way: the updater puts the folder right
// before anything of the product is loaded. In a per-machine install the
// updater also installs a pre-load then, through the service: the product
// asks at each of its own starts. True when this program's own file changed
// meanwhile (the caller starts anew).
bool PrepareFolderAtStart(const std::string& server, bool startedByUser) {
  const std::wstring journal = g_folder + L"Install.journal", self = g_folder + L"Velnoria.exe";
  const bool machine = startedByUser && IsMachineInstall();
  if (!Exists(journal) && !machine) return false;
  Log(Exists(journal) ? "journal" : "machine-install-start");
  const ULONGLONG before = WriteTime(self);
  HANDLE handoff = nullptr;
  HANDLE updater = StartUpdater(3, nullptr, server, handoff);
  if (updater) {
    ::WaitForSingleObject(updater, 60000);
    ::CloseHandle(updater);
  }
  if (handoff) ::CloseHandle(handoff);
  Log(Exists(journal) ? "journal-remains" : "journal-done");
  return WriteTime(self) != before;
}

// A pre-load the updater left (mode 3) is installed by a product only when
// its marker promises the newest release this installation trusts (the kept
// release's signed number) and that one is newer than the release installed
// (ReleaseNumber.ini). The sample only says which.
void JudgePreload() {
  const std::wstring marker = g_folder + L"UpgradeBackup\\mvt_s.backup";
  wchar_t key[8] = {}, releaseText[32] = {}, installedText[32] = {};
  ::GetPrivateProfileStringW(L"SUpgrade", L"Key", L"", key, 8, marker.c_str());
  if (std::wcscmp(key, L"1") != 0) return;
  ::GetPrivateProfileStringW(L"SUpgrade", L"Release", L"", releaseText, 32, marker.c_str());
  ::GetPrivateProfileStringW(L"Release", L"Number", L"-1", installedText, 32, (g_folder + L"ReleaseNumber.ini").c_str());
  const std::string release = Utf8(releaseText), installed = Utf8(installedText);
  long long kept = -1;
  if (FILE* f = _wfopen((g_folder + L"KeptRelease.dat").c_str(), L"rb")) {
    std::string bytes(1 << 16, '\0');
    bytes.resize(std::fread(&bytes[0], 1, bytes.size(), f));
    std::fclose(f);
    const size_t at = bytes.find("[SignedRelease]\r\nNumber=");
    if (at != std::string::npos) kept = std::atoll(bytes.c_str() + at + 24);
  }
  // An unsigned pre-load names no number: it stands for the manifest it names.
  const bool installable =
      release.empty() || (std::atoll(release.c_str()) == kept && kept > std::atoll(installed.c_str()));
  Log("preload " + (release.empty() ? std::string("unsigned") : release) + (installable ? " installable" : " not newer"));
}

// What a test release of this program asks of it (see the top).
struct StandIn {
  bool crash = false;
  bool exits = false;
  DWORD exitCode = 0, exitAfter = 0;
  DWORD healthAfter = 0;
  bool noHealth = false;
};

StandIn ReadStandIn(const std::wstring& self) {
  StandIn s;
  FILE* f = _wfopen(self.c_str(), L"rb");
  if (!f) return s;
  char tail[256] = {};
  std::fseek(f, -static_cast<long>(sizeof tail - 1), SEEK_END);
  const size_t n = std::fread(tail, 1, sizeof tail - 1, f);
  std::fclose(f);
  const std::string text(tail, n);
  const size_t at = text.rfind("stand-in: ");
  if (at == std::string::npos) return s;
  const std::string what = text.substr(at + 10, text.find('\n', at) - at - 10);
  unsigned long a = 0, b = 0;
  if (what == "crash") s.crash = true;
  else if (what == "no health") s.noHealth = true;
  else if (std::sscanf(what.c_str(), "exit %lu after %lu", &a, &b) == 2) s.exits = true, s.exitCode = a, s.exitAfter = b;
  else if (std::sscanf(what.c_str(), "health after %lu", &a) == 1) s.healthAfter = a;
  return s;
}

// The product is up: the updater watching a new release may let the old one go.
HANDLE SignalHealth() {
  HANDLE health = ::CreateEventW(nullptr, TRUE, FALSE, (L"Local\\Velnoria.Healthy." + std::to_wstring(::GetCurrentProcessId())).c_str());
  if (health) ::SetEvent(health);
  Log("healthy");
  return health;
}

// The updater put the previous release back after this product failed on a new one.
std::wstring RevertNotice() {
  const std::wstring record = g_folder + L"Reverted.ini";
  wchar_t content[16] = {};
  ::GetPrivateProfileStringW(L"Reverted", L"Content", L"", content, 16, record.c_str());
  if (!content[0]) return L"";
  Log("revert-notice " + Utf8(content));
  return L"新版本未能正常启动，已恢复到之前的版本。";
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  g_folder = path.substr(0, path.rfind(L'\\') + 1);
  const Options options = Parse(__argc, __wargv);
  Log("start " + Utf8(::GetCommandLineW()));
  if (PrepareFolderAtStart(options.server, options.mode == 0)) {
    Log("restart");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring commandLine = ::GetCommandLineW();
    if (::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, g_folder.c_str(), &si, &pi)) {
      ::CloseHandle(pi.hThread);
      ::CloseHandle(pi.hProcess);
    }
    return 0;
  }
  JudgePreload();
  const StandIn standIn = ReadStandIn(path);
  if (standIn.crash) {
    Log("crash");
    volatile uintptr_t nowhere = 0;
    *reinterpret_cast<volatile int*>(nowhere) = 1;
  }
  if (standIn.exits) {
    ::Sleep(standIn.exitAfter);
    Log("exit " + std::to_string(standIn.exitCode));
    return static_cast<int>(standIn.exitCode);
  }

  WNDCLASSW wc{};
  wc.lpfnWndProc = ::DefWindowProcW;
  wc.hInstance = instance;
  wc.lpszClassName = L"VelnoriaSampleProduct";
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  ::RegisterClassW(&wc);
  HWND window = ::CreateWindowW(L"VelnoriaSampleProduct", L"Velnoria", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, instance, nullptr);
  const std::wstring notice = RevertNotice();
  // The stand-in's window stays hidden, but for this one line.
  if (!notice.empty()) {
    ::MoveWindow(window, 0, 0, 440, 80, FALSE);
    ::CreateWindowW(L"STATIC", notice.c_str(), WS_CHILD | WS_VISIBLE, 8, 8, 410, 24, window, nullptr, instance, nullptr);
    ::ShowWindow(window, SW_SHOWNOACTIVATE);
  }
  HANDLE health = standIn.noHealth || standIn.healthAfter ? nullptr : SignalHealth();

  // Auto-reset, and reset at start: a request meant for an earlier instance
  // must not end this one.
  HANDLE exitEvent = ::CreateEventA(nullptr, FALSE, FALSE, "*_KELMO_EXIT_*");
  ::ResetEvent(exitEvent);
  Log("listening");

  HANDLE held = INVALID_HANDLE_VALUE;
  if (!options.hold.empty())
    held = ::CreateFileW((g_folder + options.hold).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);

  HANDLE handoff = nullptr;
  if (options.mode != 0) {
    HANDLE updater = StartUpdater(options.mode, window, options.server, handoff);
    if (updater) ::CloseHandle(updater);
    if (options.remakeWindow) {
      ::DestroyWindow(window);
      window = ::CreateWindowW(L"VelnoriaSampleProduct", L"Velnoria", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                               nullptr, instance, nullptr);
      Log("window-remade");
    }
  }

  const DWORD start = ::GetTickCount();
  bool updaterExitSet = false;
  for (;;) {
    const DWORD elapsed = ::GetTickCount() - start;
    if (standIn.healthAfter && !health && elapsed >= standIn.healthAfter) health = SignalHealth();
    if (elapsed >= options.lifetime) {
      Log("lifetime-over");
      break;
    }
    if (options.updaterExitAfter && !updaterExitSet && elapsed >= options.updaterExitAfter) {
      HANDLE e = ::CreateEventA(nullptr, TRUE, FALSE, "*_UPDATER_EXIT_*");
      ::SetEvent(e);
      ::CloseHandle(e);
      updaterExitSet = true;
      Log("updater-exit-set");
    }
    const DWORD r = ::MsgWaitForMultipleObjects(1, &exitEvent, FALSE, 50, QS_ALLINPUT);
    if (r == WAIT_OBJECT_0) {
      if (options.ignoreExit) {
        Log("exit-request-ignored");
        continue;
      }
      Log("exit-request");
      ::Sleep(options.exitDelay);
      break;
    }
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
  }
  if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
  if (handoff) ::CloseHandle(handoff);
  if (health) ::CloseHandle(health);
  Log("exit");
  ::DestroyWindow(window);
  return 0;
}
