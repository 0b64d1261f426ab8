// What the update engine needs from the window that shows a run. The window
// implements it; the engine never sees the window's class.
#pragma once

#include <windows.h>

#include "engine/ProgressMath.h"

class UpdateView {
 public:
  // The window that the engine's threads post to and its timers run on.
  virtual HWND EngineWindow() const = 0;
  // A progress report of the current run, to show now or a little later.
  virtual void ShowProgress(const ProgressUpdate& update) = 0;
  // A new run starts: a report kept from the last one is void.
  virtual void ResetProgress() = 0;
  virtual void ShowSuccess() = 0;
  virtual void ShowFailure() = 0;
  // The finish flow runs with the window out of sight.
  virtual void HideForFinish() = 0;
  // Ends the window as a cancel (the background mode's end of a run).
  virtual void CloseAsCancel() = 0;
  // Ends the window with OK once the finish flow's cleanup is done.
  virtual void EndAfterFinish() = 0;

 protected:
  ~UpdateView() = default;
};
