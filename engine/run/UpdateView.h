// What the update engine asks of whatever shows a run: typed calls, no
// window handle and no raw records. The composition root connects it to the
// window; the engine never sees the window's class.
#pragma once

#include <cstdint>

// Why the engine ends the window.
enum class CloseReason {
  RunOver,    // the background mode's run has ended (as a cancel)
  Requested,  // a close request (the updater-exit event, a posted close), as a cancel
  Finished,   // the finish flow and its last cleanup are done (as OK)
};

class UpdateView {
 public:
  // The bar at `percent` with the kilobyte line "done/total".
  virtual void ShowProgress(int percent, uint32_t doneKilobytes, uint32_t totalKilobytes) = 0;
  // Something arrives while the total is not yet known: the bar's token position (1 or 2).
  virtual void ShowActivity(int position) = 0;
  virtual void ShowSuccess() = 0;
  // The run found the release not offered here: held at release `pinnedAt`
  // by the administrator's policy, or (-1) halted by the release team.
  virtual void ShowHeldBack(int64_t pinnedAt) = 0;
  virtual void ShowFailure() = 0;
  // The finish flow runs with the window out of sight.
  virtual void HideForFinish() = 0;
  virtual void Close(CloseReason reason) = 0;

 protected:
  ~UpdateView() = default;
};
