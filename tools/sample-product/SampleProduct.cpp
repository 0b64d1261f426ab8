// A small stand-in for the product, for tests, demos and as the integration
// example for product teams. Installed as "Velnoria.exe" next to Updater.exe.
//
//   Velnoria.exe [--update MODE --server URL] [--ignore-exit] [--hold FILE]
//                [--exit-delay MS] [--updater-exit-after MS] [--lifetime MS]
//
// --update MODE  fill the hand-off block and start Updater.exe from this folder
// --ignore-exit  do not exit when the updater asks
// --hold FILE    keep FILE of this folder open without sharing while running
// --exit-delay   wait this long before exiting when asked
// --updater-exit-after  set the updater-exit event after this long
// --lifetime     exit on its own after this long (default 120000)
//
// Every start and event is appended to product.log in this folder.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string g_folder;

void Log(const std::string& line) {
  if (FILE* f = std::fopen((g_folder + "product.log").c_str(), "a")) {
    std::fprintf(f, "%s pid=%lu\n", line.c_str(), ::GetCurrentProcessId());
    std::fclose(f);
  }
}

struct Options {
  int mode = 0;
  std::string server;
  bool ignoreExit = false;
  std::string hold;
  DWORD exitDelay = 0;
  DWORD updaterExitAfter = 0;
  DWORD lifetime = 120000;
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--update") o.mode = std::atoi(next().c_str());
    else if (a == "--server") o.server = next();
    else if (a == "--ignore-exit") o.ignoreExit = true;
    else if (a == "--hold") o.hold = next();
    else if (a == "--exit-delay") o.exitDelay = std::strtoul(next().c_str(), nullptr, 10);
    else if (a == "--updater-exit-after") o.updaterExitAfter = std::strtoul(next().c_str(), nullptr, 10);
    else if (a == "--lifetime") o.lifetime = std::strtoul(next().c_str(), nullptr, 10);
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

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  g_folder = path;
  g_folder = g_folder.substr(0, g_folder.rfind('\\') + 1);
  const Options options = Parse(__argc, __argv);
  Log(std::string("start ") + ::GetCommandLineA());

  WNDCLASSA wc{};
  wc.lpfnWndProc = ::DefWindowProcA;
  wc.hInstance = instance;
  wc.lpszClassName = "VelnoriaSampleProduct";
  ::RegisterClassA(&wc);
  HWND window = ::CreateWindowA("VelnoriaSampleProduct", "Velnoria", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, instance, nullptr);

  // Auto-reset, and reset at start: a request meant for an earlier instance
  // must not end this one.
  HANDLE exitEvent = ::CreateEventA(nullptr, FALSE, FALSE, "*_KELMO_EXIT_*");
  ::ResetEvent(exitEvent);

  HANDLE held = INVALID_HANDLE_VALUE;
  if (!options.hold.empty())
    held = ::CreateFileA((g_folder + options.hold).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);

  HANDLE handoff = nullptr;
  if (options.mode != 0) {
    handoff = WriteHandoff(options.mode, window, options.server);
    const std::string updater = g_folder + "Updater.exe";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::string commandLine = "\"" + updater + "\"";
    if (::CreateProcessA(updater.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, g_folder.c_str(),
                         &si, &pi)) {
      Log("updater " + std::to_string(pi.dwProcessId));
      ::CloseHandle(pi.hThread);
      ::CloseHandle(pi.hProcess);
    } else {
      Log("updater-start-failed");
    }
  }

  const DWORD start = ::GetTickCount();
  bool updaterExitSet = false;
  for (;;) {
    const DWORD elapsed = ::GetTickCount() - start;
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
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
  }
  if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
  if (handoff) ::CloseHandle(handoff);
  Log("exit");
  ::DestroyWindow(window);
  return 0;
}
