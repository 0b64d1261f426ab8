// Measurements of the updater under Wine, for bench/update.sh.
//   update_bench.exe update INSTALL_DIR BASE_URL
//       click-to-success time, worst SendMessageTimeout of the window during
//       the run, peak working set of the updater; then 完成 is clicked and the
//       finish is measured too: its worst SendMessageTimeout and the time
//       from the click to the updater's end
//   update_bench.exe startup UPDATER BASE_URL MINIMAL_DIALOG RUNS
//       process start to visible window, the updater and a minimal dialog
//       alternately, and each one's peak working set by then: a line a run
//   update_bench.exe digest FILE
//       the module fingerprint of FILE as the updater works out an installed
//       module's, timed within: "ms fingerprint"
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/transfer/ArrivalCheck.h"
#include "framework/Text.h"

namespace {

double Now() {
  static LARGE_INTEGER f = [] {
    LARGE_INTEGER x;
    ::QueryPerformanceFrequency(&x);
    return x;
  }();
  LARGE_INTEGER c;
  ::QueryPerformanceCounter(&c);
  return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

HANDLE Handoff(int mode, const std::string& base) {
  HANDLE m = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "@_KELMO_UPDATE_@");
  auto* v = static_cast<unsigned char*>(::MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  std::memset(v, 0, 4096);
  std::memcpy(v, &mode, 4);
  std::memcpy(v + 8, base.c_str(), base.size() + 1);
  ::UnmapViewOfFile(v);
  return m;
}

PROCESS_INFORMATION Start(const std::string& exe) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string cmd = "\"" + exe + "\"";
  ::CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  return pi;
}

struct Search {
  DWORD pid;
  HWND found;
};
BOOL CALLBACK Visit(HWND w, LPARAM p) {
  auto* s = reinterpret_cast<Search*>(p);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(w, &pid);
  if (pid == s->pid && ::IsWindowVisible(w)) s->found = w;
  return TRUE;
}

HWND WaitWindow(DWORD pid, double timeoutMs) {
  const double start = Now();
  while (Now() - start < timeoutMs) {
    Search s{pid, nullptr};
    ::EnumWindows(&Visit, reinterpret_cast<LPARAM>(&s));
    if (s.found) return s.found;
    ::Sleep(1);
  }
  return nullptr;
}

// Process start to visible window, and the peak working set by then.
double TimeToWindow(const std::string& exe, unsigned long& peakKb) {
  const double t0 = Now();
  PROCESS_INFORMATION pi = Start(exe);
  HWND w = WaitWindow(pi.dwProcessId, 30000);
  const double t = Now() - t0;
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  ::GetProcessMemoryInfo(pi.hProcess, &pmc, sizeof pmc);
  peakKb = static_cast<unsigned long>(pmc.PeakWorkingSetSize / 1024);
  if (w) ::PostMessageA(w, WM_CLOSE, 0, 0);
  ::WaitForSingleObject(pi.hProcess, 10000);
  ::TerminateProcess(pi.hProcess, 0);
  ::CloseHandle(pi.hProcess);
  ::CloseHandle(pi.hThread);
  return w ? t : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::string(argv[1]) == "update") {
    const std::string dir = argv[2];
    HANDLE block = Handoff(1, argv[3]);
    PROCESS_INFORMATION pi = Start(dir + "\\Updater.exe");
    HWND w = WaitWindow(pi.dwProcessId, 30000);
    if (!w) return 1;
    ::Sleep(500);
    HWND finish = ::GetDlgItem(w, 1002), failed = ::GetDlgItem(w, 1000);
    const double t0 = Now();
    ::PostMessageA(w, WM_COMMAND, MAKEWPARAM(1000, BN_CLICKED), reinterpret_cast<LPARAM>(failed));
    double worst = 0;
    bool ok = false;
    while (Now() - t0 < 600000) {
      const double s = Now();
      DWORD_PTR r = 0;
      ::SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &r);
      const double took = Now() - s;
      if (took > worst) worst = took;
      if (::IsWindowVisible(finish)) {
        ok = true;
        break;
      }
      if (Now() - t0 > 2000 && ::IsWindowEnabled(failed)) break;  // the failure presentation
      ::Sleep(10);
    }
    const double elapsed = Now() - t0;
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    ::GetProcessMemoryInfo(pi.hProcess, &pmc, sizeof pmc);
    // The finish: the window hides, installs and relaunches, and ends a second later.
    double finishWorst = 0, finished = -1;
    if (ok) {
      const double f0 = Now();
      ::PostMessageA(w, WM_COMMAND, MAKEWPARAM(1002, BN_CLICKED), reinterpret_cast<LPARAM>(finish));
      while (Now() - f0 < 120000) {
        if (::WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) {
          finished = Now() - f0;
          break;
        }
        const double s = Now();
        DWORD_PTR r = 0;
        if (::SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &r) && Now() - s > finishWorst)
          finishWorst = Now() - s;
        ::Sleep(10);
      }
    }
    if (finished < 0) ::PostMessageA(w, WM_CLOSE, 0, 0);
    ::WaitForSingleObject(pi.hProcess, 10000);
    ::CloseHandle(block);
    ok = ok && finished >= 0;
    std::printf("%s %.0f %.1f %lu %.1f %.0f\n", ok ? "ok" : "failed", elapsed, worst,
                static_cast<unsigned long>(pmc.PeakWorkingSetSize / 1024), finishWorst, finished);
    return ok ? 0 : 1;
  }
  if (argc >= 6 && std::string(argv[1]) == "startup") {
    HANDLE block = Handoff(1, argv[3]);
    const int runs = std::atoi(argv[5]);
    // Alternating, one line a run: the two times and the two peaks.
    for (int i = 0; i < runs; ++i) {
      unsigned long updaterKb = 0, minimalKb = 0;
      const double u = TimeToWindow(argv[2], updaterKb);
      const double m = TimeToWindow(argv[4], minimalKb);
      std::printf("%.0f %.0f %lu %lu\n", u, m, updaterKb, minimalKb);
    }
    ::CloseHandle(block);
    return 0;
  }
  if (argc >= 3 && std::string(argv[1]) == "digest") {
    std::string digest, sha256;
    const double t0 = Now();
    const bool ok = FingerprintFile(fw::Widen(argv[2], CP_ACP), false, digest, sha256);
    std::printf("%.0f %s\n", Now() - t0, digest.c_str());
    return ok ? 0 : 1;
  }
  std::fprintf(stderr, "usage: update_bench update DIR BASE | startup UPDATER BASE MINIMAL RUNS | digest FILE\n");
  return 2;
}
