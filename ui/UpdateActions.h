// What the update window asks of whoever runs the update: the window's
// buttons, keys and close requests become these calls. The window knows
// nothing else of the engine.
#pragma once

class UpdateActions {
 public:
  // 升级, and the background mode at once: a run starts.
  virtual void StartUpdate() = 0;
  // 完成, and 关闭 once the run succeeded: the hand-over to the product.
  virtual void FinishUpdate() = 0;
  // Leaving the mandatory update: the product is asked to exit.
  virtual void AskProductToExit() = 0;
  // A close request: true when the window may close now; otherwise it is
  // held and the window will be told to close.
  virtual bool MayClose() = 0;
  // The window has finished its initialisation.
  virtual void WindowReady() = 0;

  // What the confirmation and 关闭 depend on.
  virtual bool Downloading() const = 0;
  virtual bool Succeeded() const = 0;
  // The run found the release not offered here: leaving keeps the product.
  virtual bool HeldBack() const = 0;

 protected:
  ~UpdateActions() = default;
};
