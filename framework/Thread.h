// The one way this program starts a thread: a body to run at once, normal
// priority, default stack. A Thread owns the thread's handle: it can wait for
// the body or let the thread run on alone.
#pragma once

#include <windows.h>

#include <functional>

#include "framework/Scoped.h"

namespace fw {

class Thread {
 public:
  Thread() = default;
  Thread(Thread&&) = default;
  Thread& operator=(Thread&&) = default;
  // A thread still running when its Thread goes runs on alone.
  ~Thread() = default;

  // Starts `body`; an empty Thread when none could be started (then the body
  // never runs). Nothing the body throws leaves the thread.
  static Thread Start(std::function<void()> body);

  explicit operator bool() const { return static_cast<bool>(handle_); }
  // Waits up to `ms` for the body to end; true when it has (or there is none).
  bool Join(DWORD ms = INFINITE);
  HANDLE handle() const { return handle_.get(); }

 private:
  ScopedHandle handle_;
};

// Starts `body` on a thread that nobody waits for; false when none could be started.
inline bool StartDetached(std::function<void()> body) { return static_cast<bool>(Thread::Start(std::move(body))); }

}  // namespace fw
