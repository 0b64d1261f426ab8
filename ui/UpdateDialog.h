// The updater's one window. It owns the engine's state: the task list, the
// run counters and the run state; engine threads reach it only by posting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/DownloadTask.h"
#include "engine/ModuleCatalogue.h"
#include "engine/RunAccounting.h"
#include "framework/Controls.h"
#include "skin/Hyperlink.h"
#include "skin/SkinButton.h"
#include "skin/SkinDialog.h"
#include "ui/ProgressMath.h"

class UpdateDialog : public SkinDialog {
 public:
  explicit UpdateDialog(CWnd* parent);
  ~UpdateDialog() override;

  // Engine (download runs, manifest check, installation, product hand-over).
  void StartUpdate(int32_t keepPartial);
  void ResetRun();
  void CheckForUpdates();
  void CheckModule(const char* baseName, const std::string& manifestPath, uint32_t messageId, const char* extension);
  void InstallModules();
  void FinishUpdate();

  // The window's look.
  void LoadSkin();
  void LayoutControls();

  // Presentations and the leave confirmation.
  void ShowOffer();
  void ShowUpdating(int32_t mode);
  void ShowFailure();
  void ShowSuccess();
  bool ConfirmLeave();

  // Read by the download workers through g_pUpdateDialog.
  int32_t KeepPartial() const { return m_keepPartial; }
  UpdateState State() const { return m_state; }
  const std::vector<std::string>& PendingDeletes() const { return m_pendingDeletes; }
  const std::vector<DownloadTask>& Tasks() const { return m_downloadTasks; }

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  // Neither Return nor a default-button command ends the window.
  void OnOK() override {}
  void PaintOverlay(HDC dc) override;

  LRESULT OnSysCommand(WPARAM, LPARAM);
  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnQueryDragIcon(WPARAM, LPARAM);
  LRESULT OnCtlColor(WPARAM, LPARAM);
  // One handler per module progress message, each passing its own slot.
  template <UINT MessageId>
  LRESULT OnModuleProgress(WPARAM, LPARAM lParam) {
    return HandleModuleProgress(CatalogueIndexOfMessage(MessageId), lParam);
  }
  LRESULT HandleModuleProgress(int slot, LPARAM record);
  void OnProgress(bool& firstReport, uint32_t received, uint32_t size);
  void OnProgressTick();

  LRESULT OnUpgrade(WPARAM, LPARAM);
  LRESULT OnSkip(WPARAM, LPARAM);
  LRESULT OnFinish(WPARAM, LPARAM);
  LRESULT OnExitProduct(WPARAM, LPARAM);
  LRESULT OnCloseButton(WPARAM, LPARAM);
  LRESULT OnWindowPosChanging(WPARAM, LPARAM);
  LRESULT OnTimer(WPARAM, LPARAM);
  LRESULT OnDownloadFinished(WPARAM, LPARAM);
  LRESULT OnManifestChecked(WPARAM, LPARAM);

  DECLARE_MESSAGE_MAP()

 private:
  void CompleteRun(RunOutcome outcome);
  void LeaveUpdater(bool askProductToExit);
  void PresentProgress(const ProgressUpdate& update);
  // A report kept for the progress timer belongs to its run only; a tick
  // after the run has ended shows nothing.
  void DropKeptProgress();

  void PlaceTemplateControls();
  // The caption record of a text button.
  StyledText ButtonCaption(const std::string& text) const;

  CHyperlink m_link;
  CStatic m_statusText;
  CProgressCtrl m_progress;
  CSkinButtonEx m_btnClose;
  CSkinButtonEx m_btnUpgrade;
  CSkinButtonEx m_btnSkip;
  CSkinButtonEx m_btnExit;
  CSkinButtonEx m_btnFinish;
  CRichEditCtrl m_releaseNotes;
  HICON m_hIcon = nullptr;

  std::vector<DownloadTask> m_downloadTasks;
  int32_t m_runCount = 0;
  int32_t m_reportedModules = 0;
  int32_t m_succeeded = 0;
  int32_t m_failed = 0;
  uint32_t m_totalBytes = 0;
  uint32_t m_doneBytes = 0;
  uint32_t m_moduleBytes[kModuleCount] = {};
  bool m_firstReport[kModuleCount] = {};
  int32_t m_allowShow = 1;
  int32_t m_keepPartial = 0;
  UpdateState m_state = UpdateState::Idle;
  RECT m_statusRect{};
  ProgressPacer m_progressPacer;
  std::vector<std::string> m_pendingDeletes;
};

// The one update window object and its handle, published for the threads
// that post to it.
extern UpdateDialog* g_pUpdateDialog;
extern HWND g_hUpdateWnd;
