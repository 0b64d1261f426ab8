#include "fetchkit/LeavableCall.h"

#include "framework/Thread.h"

namespace fetchkit {

std::shared_ptr<LeavableCall> LeavableCall::Start(Handles handles, std::function<void(LeavableCall&)> work) {
  auto call = std::make_shared<LeavableCall>(handles);
  call->done_.reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!call->done_) return nullptr;
  if (!fw::StartDetached([call, work] {
        work(*call);
        call->Finished();
      }))
    return nullptr;
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
