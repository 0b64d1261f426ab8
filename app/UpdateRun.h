// One run of the updater wired together: the window and the engine, each
// reaching the other only through the small interface it declares (the
// engine's UpdateView, the window's UpdateActions).
#pragma once

#include "engine/run/RunAccounting.h"
#include "engine/run/UpdateEngine.h"
#include "engine/run/UpdateView.h"
#include "ui/UpdateActions.h"
#include "ui/UpdateDialog.h"

// The window's role for a work order's mode.
WindowRole RoleOfMode(int32_t mode);

class UpdateRun final : private UpdateView, private UpdateActions {
 public:
  UpdateRun(EngineSettings settings, WindowSetup setup);

  // Runs the window modally until it ends; the state the run ended in.
  UpdateState Run();
  CWnd& Window() { return m_dialog; }
  // Why a run that succeeded could not install its release; empty otherwise.
  const std::string& NotInstalled() const { return m_engine.NotInstalled(); }
  std::shared_ptr<ProductOnProbation> Probation() const { return m_engine.Probation(); }
  // What the run came to, for the outcome report.
  OutcomeReport Outcome() const { return m_engine.Outcome(); }

 private:
  // What the engine shows.
  void ShowProgress(int percent, uint32_t doneKilobytes, uint32_t totalKilobytes) override {
    m_dialog.ShowProgress(percent, doneKilobytes, totalKilobytes);
  }
  void ShowActivity(int position) override { m_dialog.ShowActivity(position); }
  void ShowSuccess() override { m_dialog.ShowSuccess(); }
  void ShowHeldBack(int64_t pinnedAt) override { m_dialog.ShowHeldBack(pinnedAt); }
  void ShowFailure() override { m_dialog.ShowFailure(); }
  void HideForFinish() override { m_dialog.HideForFinish(); }
  void Close(CloseReason reason) override;

  // What the window asks.
  void StartUpdate() override { m_engine.StartUpdate(KeepPartial::No); }
  void FinishUpdate() override { m_engine.FinishUpdate(); }
  void AskProductToExit() override { m_engine.AskProductToExit(); }
  bool MayClose() override { return m_engine.MayClose(); }
  void WindowReady() override { m_engine.WatchForUpdaterExit(); }
  bool Downloading() const override { return m_engine.State() == UpdateState::Running; }
  bool Succeeded() const override { return m_engine.State() == UpdateState::Succeeded; }
  bool HeldBack() const override { return m_engine.HeldBack(); }

  UpdateDialog m_dialog;
  UpdateEngine m_engine;  // goes first: nothing of it reaches the window afterwards
};
