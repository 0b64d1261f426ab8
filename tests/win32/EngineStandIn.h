// A stand-in for what shows a run: records every UpdateView call the engine
// makes. The engine's own window lives on the test's thread, so pumping that
// thread's messages is what delivers its threads' results and its timers.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/run/UpdateEngine.h"
#include "engine/run/UpdateView.h"

class EngineStandIn : public UpdateView {
 public:
  // Progress is recorded as it comes (no pacing) unless the settings say otherwise.
  explicit EngineStandIn(EngineSettings settings)
      : owned_(std::make_unique<UpdateEngine>(*this, Unpaced(std::move(settings)))), engine(*owned_) {}
  EngineStandIn(const EngineStandIn&) = delete;
  EngineStandIn& operator=(const EngineStandIn&) = delete;

  // Runs the thread's messages until `done` holds or `timeoutMs` passes.
  template <typename F>
  bool PumpUntil(F done, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    while (!done()) {
      if (::GetTickCount() - start > timeoutMs) return false;
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
      MSG msg;
      while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
    }
    return true;
  }
  // The engine goes, with its window; its threads may still run.
  void DestroyEngine() { owned_.reset(); }

  struct Progress {
    bool full;  // the bar with its kilobyte line; else the token position
    int position;
    uint32_t doneKilobytes, totalKilobytes;
  };
  std::vector<std::string> shown;  // "success", "failure", "held at N", "hide", "close: over|requested|finished"
  std::vector<Progress> progress;

 private:
  static EngineSettings Unpaced(EngineSettings settings) {
    if (settings.progressIntervalMs == PROGRESS_PRESENT_INTERVAL_MS) settings.progressIntervalMs = 0;
    return settings;
  }
  void ShowProgress(int percent, uint32_t done, uint32_t total) override {
    progress.push_back({true, percent, done, total});
  }
  void ShowActivity(int position) override { progress.push_back({false, position, 0, 0}); }
  void ShowSuccess() override { shown.push_back("success"); }
  void ShowFailure() override { shown.push_back("failure"); }
  void ShowHeldBack(int64_t pinnedAt) override { shown.push_back("held at " + std::to_string(pinnedAt)); }
  void HideForFinish() override { shown.push_back("hide"); }
  void Close(CloseReason reason) override {
    static const char* const kReason[] = {"close: over", "close: requested", "close: finished"};
    shown.push_back(kReason[static_cast<int>(reason)]);
  }

  std::unique_ptr<UpdateEngine> owned_;

 public:
  UpdateEngine& engine;
};
