// Drives the update window of the demo the way a person would, and saves a
// screenshot of each presentation.
//   DemoDriver.exe INSTALL_DIR SHOT_DIR MODE auto|watch
// auto: clicks 升级, waits for success, clicks 完成; watch: a person clicks.
// Exit code 0 when the updater ended after a successful run.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string g_install, g_shots;

std::string ReadAll(const std::string& path) {
  std::string bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char b[4096];
    size_t n;
    while ((n = std::fread(b, 1, sizeof b, f)) > 0) bytes.append(b, n);
    std::fclose(f);
  }
  return bytes;
}

template <class F>
bool WaitFor(F condition, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (!condition()) {
    if (::GetTickCount() - start > timeoutMs) return false;
    ::Sleep(50);
  }
  return true;
}

void Screenshot(const char* name) {
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
    const std::string path = g_shots + name;
    const std::wstring wide(path.begin(), path.end());
    for (UINT i = 0; i < count; ++i)
      if (wcscmp(encoders[i].MimeType, L"image/png") == 0) image.Save(wide.c_str(), &encoders[i].Clsid, nullptr);
  }
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  std::printf("screenshot %s\n", name);
}

struct Found {
  DWORD pid;
  HWND wnd;
};
BOOL CALLBACK FindVisible(HWND w, LPARAM p) {
  auto* f = reinterpret_cast<Found*>(p);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(w, &pid);
  if (pid == f->pid && ::IsWindowVisible(w) && ::GetDlgItem(w, 1000)) f->wnd = w;
  return TRUE;
}

void Click(HWND window, int id) {
  ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(window, id)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: DemoDriver INSTALL_DIR SHOT_DIR MODE auto|watch\n");
    return 2;
  }
  g_install = std::string(argv[1]) + "\\";
  g_shots = std::string(argv[2]) + "\\";
  const int mode = std::atoi(argv[3]);
  const bool automatic = std::string(argv[4]) == "auto";
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);

  DWORD pid = 0;
  WaitFor([&] {
    const std::string log = ReadAll(g_install + "product.log");
    const size_t at = log.find("updater ");
    if (at != std::string::npos) pid = std::strtoul(log.c_str() + at + 8, nullptr, 10);
    return pid != 0;
  }, 20000);
  HANDLE updater = pid ? ::OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
  if (!updater) {
    std::fprintf(stderr, "the product did not start the updater\n");
    return 1;
  }
  const DWORD started = ::GetTickCount();
  if (mode != 3) {
    Found found{pid, nullptr};
    WaitFor([&] {
      ::EnumWindows(&FindVisible, reinterpret_cast<LPARAM>(&found));
      return found.wnd != nullptr;
    }, 30000);
    if (!found.wnd) {
      std::fprintf(stderr, "the update window did not show\n");
      return 1;
    }
    HWND window = found.wnd;
    ::Sleep(500);
    Screenshot("1-offer.png");
    if (automatic) {
      Click(window, 1000);
      ::Sleep(400);
      Screenshot("2-updating.png");
      if (!WaitFor([&] { return ::IsWindowVisible(::GetDlgItem(window, 1002)) != FALSE; }, 300000)) {
        Screenshot("3-failure.png");
        std::fprintf(stderr, "the update did not succeed\n");
        return 1;
      }
      ::Sleep(400);
      Screenshot("3-success.png");
      std::printf("download time %lu ms\n", ::GetTickCount() - started);
      Click(window, 1002);
    } else {
      std::printf("waiting for you to update in the window...\n");
      std::fflush(stdout);
    }
  }
  const DWORD wait = ::WaitForSingleObject(updater, automatic ? 120000 : 600000);
  Gdiplus::GdiplusShutdown(token);
  if (wait != WAIT_OBJECT_0) {
    std::fprintf(stderr, "the updater did not end\n");
    return 1;
  }
  std::printf("updater ended after %lu ms\n", ::GetTickCount() - started);
  return 0;
}
