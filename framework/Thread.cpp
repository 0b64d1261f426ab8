#include "framework/Thread.h"

#include <process.h>

namespace {

struct Start {
  WorkerProc proc;
  void* param;
};

unsigned __stdcall ThreadEntry(void* raw) {
  const Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  return start.proc(start.param);
}

}  // namespace

bool AfxBeginThread(WorkerProc proc, void* param) {
  auto* start = new Start{proc, param};
  const uintptr_t handle = _beginthreadex(nullptr, 0, &ThreadEntry, start, 0, nullptr);
  if (!handle) {
    delete start;
    return false;
  }
  ::CloseHandle(reinterpret_cast<HANDLE>(handle));
  return true;
}
