// Small owners for Win32 handles, so that every early return releases them.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <utility>

namespace fw {

template <class Traits>
class Scoped {
 public:
  using Handle = typename Traits::Handle;
  Scoped() = default;
  explicit Scoped(Handle h) : handle_(h) {}
  ~Scoped() { reset(); }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;
  Scoped(Scoped&& other) noexcept : handle_(other.release()) {}
  Scoped& operator=(Scoped&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Traits::Invalid(); }
  Handle release() { return std::exchange(handle_, Traits::Invalid()); }
  // For calls that hand a handle out through a pointer; the current one goes first.
  Handle* put() {
    reset();
    return &handle_;
  }
  void reset(Handle h = Traits::Invalid()) {
    if (handle_ != Traits::Invalid()) Traits::Close(handle_);
    handle_ = h;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
struct ViewTraits {
  using Handle = void*;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::UnmapViewOfFile(h); }
};
struct GdiObjectTraits {
  using Handle = HGDIOBJ;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::DeleteObject(h); }
};
struct MemoryDcTraits {
  using Handle = HDC;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::DeleteDC(h); }
};
struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::FreeLibrary(h); }
};

using ScopedHandle = Scoped<KernelHandleTraits>;
using ScopedFile = Scoped<FileHandleTraits>;
using ScopedView = Scoped<ViewTraits>;
using ScopedGdiObject = Scoped<GdiObjectTraits>;
using ScopedMemoryDc = Scoped<MemoryDcTraits>;
using ScopedModule = Scoped<ModuleTraits>;

// One slot of a counting semaphore, taken for a scope: waits for it (bounded
// by `ms`) and gives it back at the end. Without a semaphore, or when the wait
// fails, the scope runs without a slot.
class ScopedSemaphoreSlot {
 public:
  ScopedSemaphoreSlot(HANDLE semaphore, DWORD ms)
      : semaphore_(semaphore && ::WaitForSingleObject(semaphore, ms) == WAIT_OBJECT_0 ? semaphore : nullptr) {}
  ~ScopedSemaphoreSlot() {
    if (semaphore_) ::ReleaseSemaphore(semaphore_, 1, nullptr);
  }
  ScopedSemaphoreSlot(const ScopedSemaphoreSlot&) = delete;
  ScopedSemaphoreSlot& operator=(const ScopedSemaphoreSlot&) = delete;

 private:
  HANDLE semaphore_;
};

// A window DC from GetDC, given back with ReleaseDC.
class ScopedWindowDc {
 public:
  explicit ScopedWindowDc(HWND wnd) : wnd_(wnd), dc_(::GetDC(wnd)) {}
  ~ScopedWindowDc() {
    if (dc_) ::ReleaseDC(wnd_, dc_);
  }
  ScopedWindowDc(const ScopedWindowDc&) = delete;
  ScopedWindowDc& operator=(const ScopedWindowDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND wnd_;
  HDC dc_;
};

// Selects an object into a DC and selects the previous one back.
class ScopedSelect {
 public:
  ScopedSelect(HDC dc, HGDIOBJ object) : dc_(dc), previous_(object ? ::SelectObject(dc, object) : nullptr) {}
  ~ScopedSelect() {
    if (previous_) ::SelectObject(dc_, previous_);
  }
  ScopedSelect(const ScopedSelect&) = delete;
  ScopedSelect& operator=(const ScopedSelect&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// BeginPaint / EndPaint.
class ScopedPaint {
 public:
  explicit ScopedPaint(HWND wnd) : wnd_(wnd) { dc_ = ::BeginPaint(wnd, &ps_); }
  ~ScopedPaint() { ::EndPaint(wnd_, &ps_); }
  ScopedPaint(const ScopedPaint&) = delete;
  ScopedPaint& operator=(const ScopedPaint&) = delete;
  HDC dc() const { return dc_; }
  const PAINTSTRUCT& info() const { return ps_; }

 private:
  HWND wnd_;
  PAINTSTRUCT ps_{};
  HDC dc_;
};

// A COM apartment for the thread, as the shell asks of ShellExecuteEx's
// callers: entered (single-threaded) for the scope, left at its end; a thread
// already in an apartment of another kind keeps it.
class ScopedComApartment {
 public:
  ScopedComApartment()
      : entered_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
  ~ScopedComApartment() {
    if (entered_) ::CoUninitialize();
  }
  ScopedComApartment(const ScopedComApartment&) = delete;
  ScopedComApartment& operator=(const ScopedComApartment&) = delete;
  bool entered() const { return entered_; }

 private:
  bool entered_;
};

}  // namespace fw
