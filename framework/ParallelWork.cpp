#include "framework/ParallelWork.h"

#include <windows.h>

#include <algorithm>
#include <utility>

void ParallelWork::Start(int count, std::function<void(int)> work) {
  Wait();
  work_ = std::move(work);
  count_ = count;
  next_ = 0;
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  const int threads = std::min({static_cast<int>(std::max<DWORD>(info.dwNumberOfProcessors, 1)), 4, count});
  // Without a thread to spare, Wait does what is left.
  for (int t = 0; t < threads; ++t)
    if (fw::Thread thread = fw::Thread::Start([this] { Take(true); })) threads_.push_back(std::move(thread));
}

void ParallelWork::Take(bool lowered) {
  if (lowered) ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
  for (int i; (i = next_++) < count_;) work_(i);
}

void ParallelWork::Wait() {
  for (fw::Thread& t : threads_) t.Join();
  threads_.clear();
  if (work_) Take(false);
}

void RunInParallel(int count, std::function<void(int)> work) {
  ParallelWork pieces;
  pieces.Start(count, std::move(work));
  pieces.Wait();
}
