// The yardstick of memory: what Wine itself costs a program of the
// updater's shape. It loads the system libraries the updater loads (GDI+,
// rich edit, WinINet, CNG, crypt32, common controls, COM, shell), starts
// GDI+ and COM, runs the 19 threads the design needs (17 workers, the
// window's, the engine's) idle, shows a window, and ends after the
// milliseconds given (default 3000). bench/update.sh reads its peak.
#include <windows.h>
#include <bcrypt.h>
#include <commctrl.h>
#include <objbase.h>
#include <gdiplus.h>
#include <wininet.h>

#include <cstdlib>
#include <initializer_list>

static DWORD WINAPI Idle(void* stop) {
  ::WaitForSingleObject(static_cast<HANDLE>(stop), INFINITE);
  return 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  const DWORD lifetime = commandLine && *commandLine ? std::strtoul(commandLine, nullptr, 10) : 3000;
  for (const wchar_t* library : {L"riched20.dll", L"crypt32.dll", L"shell32.dll"}) ::LoadLibraryW(library);
  ::CoInitialize(nullptr);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  HINTERNET internet = ::InternetOpenW(L"floor", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  BCRYPT_ALG_HANDLE sha = nullptr;
  ::BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE threads[19];
  for (HANDLE& thread : threads) thread = ::CreateThread(nullptr, 0, Idle, stop, 0, nullptr);
  HWND window = ::CreateWindowExW(0, L"RichEdit20W", L"", WS_POPUP | WS_VISIBLE, 0, 0, 300, 320, nullptr, nullptr,
                                  nullptr, nullptr);
  const DWORD start = ::GetTickCount();
  MSG msg;
  while (::GetTickCount() - start < lifetime) {
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    ::Sleep(10);
  }
  ::DestroyWindow(window);
  ::SetEvent(stop);
  ::WaitForMultipleObjects(19, threads, TRUE, 5000);
  if (sha) ::BCryptCloseAlgorithmProvider(sha, 0);
  if (internet) ::InternetCloseHandle(internet);
  Gdiplus::GdiplusShutdown(token);
  ::CoUninitialize();
  return 0;
}
