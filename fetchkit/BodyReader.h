// The body of a response, read on a call that can be left behind and
// written to the local file. Reads grow while the link keeps up (a read
// waits until it is full, and few large reads cost far less than many small
// ones); the transfer watches the reader and leaves it behind when the
// server stops making progress or time is up.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "fetchkit/HttpDownload.h"
#include "fetchkit/LeavableCall.h"
#include "framework/Scoped.h"

namespace fetchkit {

class BodyReader {
 public:
  struct Plan {
    int64_t offset;        // where the body's first byte goes in the file
    int64_t bodyExpected;  // the body's length; -1 when not announced
    int64_t maxBytes;      // the file may not grow beyond this
    int64_t total;         // the whole file's announced size, for the receiver (-1: none)
    DWORD inactivityMs;
    FkReceiver* receiver;  // shown every byte written; never once left behind
  };

  // Starts reading into `file` (taken over); null when no thread could be
  // started (the file is closed then, the handles stay the caller's).
  static std::shared_ptr<BodyReader> Start(LeavableCall::Handles handles, HANDLE file, const Plan& plan);

  // True when the reader has finished (within `ms`); it has let go of the file by then.
  bool Wait(DWORD ms) const { return call_->Wait(ms); }
  int64_t Received() const { return received_.load(); }
  unsigned Result() const { return result_; }
  // False when the reader finished meanwhile: its result stands. Otherwise
  // it writes nothing more, the file is let go, and the request and its
  // parents are the reader's to close.
  bool Abandon();

 private:
  BodyReader(HANDLE file, const Plan& plan) : file_(file), plan_(plan), received_(plan.offset) {}
  void ReadAll(LeavableCall& call);
  unsigned ReadFailure(DWORD error, DWORD started) const;

  std::shared_ptr<LeavableCall> call_;
  fw::ScopedFile file_;  // touched only under the call's gate
  const Plan plan_;
  HINTERNET request_ = nullptr;
  std::atomic<int64_t> received_;
  unsigned result_ = FK_OK;
};

}  // namespace fetchkit
