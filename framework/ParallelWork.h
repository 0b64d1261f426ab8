// Independent pieces of work (one per module) spread over one thread per
// processor, below the window's priority so that the window keeps answering.
// Start returns at once; Wait returns when every piece is done. A piece that
// no thread took (none could be started) is done by Wait itself.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "framework/Thread.h"

class ParallelWork {
 public:
  ParallelWork() = default;
  ~ParallelWork() { Wait(); }
  ParallelWork(const ParallelWork&) = delete;
  ParallelWork& operator=(const ParallelWork&) = delete;

  // Runs work(0) .. work(count - 1), each once, on any thread.
  void Start(int count, std::function<void(int)> work);
  void Wait();

 private:
  void Take(bool lowered);

  std::function<void(int)> work_;
  int count_ = 0;
  std::atomic<int> next_{0};
  std::vector<fw::Thread> threads_;
};

// Runs work(0) .. work(count - 1) in parallel and returns when all are done.
void RunInParallel(int count, std::function<void(int)> work);
