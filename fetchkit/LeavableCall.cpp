#include "fetchkit/LeavableCall.h"

#include "framework/Thread.h"

namespace fetchkit {

namespace {

// The library this code is in, held loaded by one more reference; null when
// the code is linked into a program rather than a library.
HMODULE PinThisLibrary() {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&PinThisLibrary), &module))
    return nullptr;
  if (module != ::GetModuleHandleA(nullptr)) return module;
  ::FreeLibrary(module);
  return nullptr;
}

}  // namespace

std::shared_ptr<LeavableCall> LeavableCall::Start(Handles handles, std::function<void(LeavableCall&)> work) {
  auto call = std::make_shared<LeavableCall>(handles);
  call->done_.reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!call->done_) return nullptr;
  // A call left behind keeps the library loaded until it ends, so that a
  // program that lets the library go meanwhile never pulls its code away.
  HMODULE pin = PinThisLibrary();
  // At the priority of the transfer that made it.
  const int priority = ::GetThreadPriority(::GetCurrentThread());
  if (!fw::StartDetached([call, work, pin, priority]() mutable {
        if (priority != THREAD_PRIORITY_ERROR_RETURN) ::SetThreadPriority(::GetCurrentThread(), priority);
        work(*call);
        call->Finished();
        call.reset();
        work = nullptr;
        if (pin) ::FreeLibraryAndExitThread(pin, 0);
      })) {
    if (pin) ::FreeLibrary(pin);
    return nullptr;
  }
  return call;
}

void LeavableCall::Finished() {
  bool left;
  {
    std::lock_guard<std::mutex> lock(gate_);
    finished_ = true;
    left = left_;
  }
  if (!left) {
    ::SetEvent(done_.get());
    return;
  }
  // Left behind: nobody waits for the result; the handles are this thread's.
  for (HINTERNET h : {handles_.request, handles_.connection, handles_.session})
    if (h) ::InternetCloseHandle(h);
}

bool LeavableCall::Leave(const std::function<void()>& onLeave) {
  std::lock_guard<std::mutex> lock(gate_);
  if (finished_) return false;
  left_ = true;
  if (onLeave) onLeave();
  return true;
}

}  // namespace fetchkit
