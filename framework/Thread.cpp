#include "framework/Thread.h"

#include <process.h>

#include <memory>

namespace fw {

namespace {

unsigned __stdcall ThreadEntry(void* raw) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(raw));
  try {
    (*body)();
  } catch (...) {
    // A thread's failure ends its own work only.
  }
  return 0;
}

}  // namespace

Thread Thread::Start(std::function<void()> body) {
  Thread thread;
  std::function<void()>* owned = nullptr;
  try {
    owned = new std::function<void()>(std::move(body));
  } catch (...) {
    return thread;
  }
  const uintptr_t handle = _beginthreadex(nullptr, 0, &ThreadEntry, owned, 0, nullptr);
  if (!handle) {
    delete owned;
    return thread;
  }
  thread.handle_.reset(reinterpret_cast<HANDLE>(handle));
  return thread;
}

bool Thread::Join(DWORD ms) {
  if (!handle_) return true;
  if (::WaitForSingleObject(handle_.get(), ms) != WAIT_OBJECT_0) return false;
  handle_.reset();
  return true;
}

}  // namespace fw
