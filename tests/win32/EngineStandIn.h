// A stand-in for the update window: a message-only window that hands the
// engine's posted messages and timers back to the engine, as the window does,
// and records what the engine asked it to show.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/Messages.h"
#include "engine/ModuleCatalogue.h"
#include "engine/UpdateEngine.h"
#include "engine/UpdateView.h"

class EngineStandIn : public UpdateView {
 public:
  explicit EngineStandIn(EngineSettings settings)
      : owned_(std::make_unique<UpdateEngine>(*this, std::move(settings))), engine(*owned_), window_(MakeWindow(this)) {}
  ~EngineStandIn() {
    ::SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    ::DestroyWindow(window_);
  }
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
  // The engine stops hearing from its threads (as when the window is gone);
  // what they post is still counted.
  void Detach() { detached_ = true; }
  // The engine goes, as with the window that holds it; its threads may still run.
  void DestroyEngine() {
    Detach();
    owned_.reset();
  }

  std::vector<std::string> shown;  // "success", "failure", "close", "hide", "end"
  std::vector<ProgressUpdate> progress;
  int manifestChecks = 0;  // WM_MANIFEST_CHECKED messages that arrived

 private:
  std::unique_ptr<UpdateEngine> owned_;

 public:
  UpdateEngine& engine;

 private:
  HWND EngineWindow() const override { return window_; }
  void ShowProgress(const ProgressUpdate& update) override { progress.push_back(update); }
  void ResetProgress() override {}
  void ShowSuccess() override { shown.push_back("success"); }
  void ShowFailure() override { shown.push_back("failure"); }
  void HideForFinish() override { shown.push_back("hide"); }
  void CloseAsCancel() override { shown.push_back("close"); }
  void EndAfterFinish() override { shown.push_back("end"); }

  static HWND MakeWindow(EngineStandIn* self) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &Proc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "EngineStandIn";
    ::RegisterClassA(&wc);  // a second registration fails harmlessly
    HWND wnd = ::CreateWindowExA(0, "EngineStandIn", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    ::SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    return wnd;
  }
  static LRESULT CALLBACK Proc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<EngineStandIn*>(::GetWindowLongPtrA(wnd, GWLP_USERDATA));
    if (!self) return ::DefWindowProcA(wnd, message, wParam, lParam);
    if (message == WM_MANIFEST_CHECKED) self->manifestChecks += 1;
    if (self->detached_) return ::DefWindowProcA(wnd, message, wParam, lParam);
    switch (message) {
      case WM_MANIFEST_CHECKED:
        self->engine.OnManifestChecked(static_cast<unsigned>(wParam), static_cast<int32_t>(lParam));
        return 1;
      case WM_DOWNLOAD_FINISHED:
        self->engine.OnDownloadFinished(static_cast<unsigned>(wParam), static_cast<uint32_t>(lParam));
        return 1;
      case WM_TIMER:
        if (wParam == FINISH_TIMER_ID) self->engine.OnFinishTimer();
        return 0;
      default:
        if (CatalogueIndexOfMessage(message) >= 0) {
          self->engine.OnModuleProgress(CatalogueIndexOfMessage(message), reinterpret_cast<const uint32_t*>(lParam));
          return 1;
        }
        return ::DefWindowProcA(wnd, message, wParam, lParam);
    }
  }

  HWND window_;
  bool detached_ = false;
};
