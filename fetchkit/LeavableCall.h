// The one way a transfer leaves a blocking WinINet call behind. WinINet
// cannot stop a call that waits: neither closing its handle nor a new
// time-out from another thread ends it (tried under Wine). So the call is
// made on a thread of its own, which the transfer watches. If the transfer
// gives up on it, the thread takes over the request and its parents and
// closes them once WinINet lets it go, and from then on the work writes
// nothing the transfer can see.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <functional>
#include <memory>
#include <mutex>

#include "framework/Scoped.h"

namespace fetchkit {

class LeavableCall {
 public:
  struct Handles {
    HINTERNET request, connection, session;
  };

  // Runs `work` on a thread of its own; null when no thread could be started
  // (then `work` never runs and the handles stay the caller's).
  static std::shared_ptr<LeavableCall> Start(Handles handles, std::function<void(LeavableCall&)> work);

  // True once the work has finished (waiting up to `ms`).
  bool Wait(DWORD ms) const { return ::WaitForSingleObject(done_.get(), ms) == WAIT_OBJECT_0; }
  // Gives up on the call, unless it finished meanwhile (false: its result
  // stands). Otherwise `onLeave` runs at once, under the same gate as the
  // work's Guarded steps, and the thread owns the handles from now on.
  bool Leave(const std::function<void()>& onLeave = nullptr);

  // For the work: runs `step` under the gate unless the call was left
  // behind; false when it was.
  template <typename F>
  bool Guarded(F&& step) {
    std::lock_guard<std::mutex> lock(gate_);
    if (left_) return false;
    step();
    return true;
  }

  explicit LeavableCall(Handles handles) : handles_(handles) {}

 private:
  // The work has returned: the caller learns of it, or, left behind, the handles go.
  void Finished();

  const Handles handles_;
  fw::ScopedHandle done_;
  std::mutex gate_;
  bool left_ = false;
  bool finished_ = false;
};

}  // namespace fetchkit
