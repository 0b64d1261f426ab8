// The yardstick of start-up: the smallest Win32 dialog program.
#include <windows.h>

static INT_PTR CALLBACK Proc(HWND w, UINT m, WPARAM, LPARAM) {
  if (m == WM_CLOSE) {
    ::EndDialog(w, 0);
    return TRUE;
  }
  return m == WM_INITDIALOG;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return static_cast<int>(::DialogBoxParamA(instance, MAKEINTRESOURCEA(1), nullptr, &Proc, 0));
}
