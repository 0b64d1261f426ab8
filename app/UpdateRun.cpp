#include "app/UpdateRun.h"

#include "engine/run/UpdateMode.h"

WindowRole RoleOfMode(int32_t mode) {
  switch (mode) {
    case ModeOptional:
      return WindowRole::Optional;
    case ModeMandatory:
      return WindowRole::Mandatory;
    case ModeBackground:
      return WindowRole::Background;
    default:
      return WindowRole::Other;
  }
}

UpdateRun::UpdateRun(EngineSettings settings, WindowSetup setup)
    : m_dialog(std::move(setup), *this), m_engine(*this, std::move(settings)) {}

UpdateState UpdateRun::Run() {
  m_dialog.DoModal();
  return m_engine.State();
}

void UpdateRun::Close(CloseReason reason) {
  switch (reason) {
    case CloseReason::RunOver:
      // As the background mode's end always was: a close posted to the window.
      m_dialog.PostClose();
      return;
    case CloseReason::Requested:
      m_dialog.EndCancelled();
      return;
    case CloseReason::Finished:
      m_dialog.EndFinished();
      return;
  }
}
