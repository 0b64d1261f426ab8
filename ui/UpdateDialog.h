// The updater's one window. It owns the update engine and shows what the
// engine asks for; the engine's threads post to it, and its handlers hand
// those messages to the engine.
#pragma once

#include <cstdint>
#include <string>

#include "engine/ModuleCatalogue.h"
#include "engine/UpdateEngine.h"
#include "engine/UpdateView.h"
#include "framework/Controls.h"
#include "skin/Hyperlink.h"
#include "skin/SkinButton.h"
#include "skin/SkinDialog.h"
#include "engine/ProgressMath.h"

class UpdateDialog : public SkinDialog, private UpdateView {
 public:
  explicit UpdateDialog(CWnd* parent);
  ~UpdateDialog() override;

  UpdateEngine& Engine() { return m_engine; }

  // The window's look.
  void LoadSkin();
  void LayoutControls();

  // Presentations and the leave confirmation.
  void ShowOffer();
  void ShowUpdating(int32_t mode);
  void ShowFailure() override;
  void ShowSuccess() override;
  bool ConfirmLeave();

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  // Neither Return nor a default-button command ends the window.
  void OnOK() override {}
  // Esc acts as 关闭 does in the current mode and state: the mandatory
  // update cannot be skipped by a key, and leaving a download asks first.
  void OnCancel() override;
  // Esc from any control, the notes box included (a rich edit closes its
  // dialog on Esc by itself), is taken here before the control sees it.
  BOOL PreTranslateMessage(MSG* msg) override;
  void PaintOverlay(HDC dc) override;

  LRESULT OnSysCommand(WPARAM, LPARAM);
  // A posted WM_CLOSE (the updater-exit watcher, the engine) ends at once.
  LRESULT OnCloseMessage(WPARAM, LPARAM);
  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnQueryDragIcon(WPARAM, LPARAM);
  LRESULT OnCtlColor(WPARAM, LPARAM);
  // One handler per module progress message, each passing its own slot.
  template <UINT MessageId>
  LRESULT OnModuleProgress(WPARAM, LPARAM lParam) {
    return HandleModuleProgress(CatalogueIndexOfMessage(MessageId), lParam);
  }
  LRESULT HandleModuleProgress(int slot, LPARAM record);
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
  // UpdateView: what the engine asks of the window.
  HWND EngineWindow() const override { return m_hWnd; }
  void ShowProgress(const ProgressUpdate& update) override;
  // A report kept for the progress timer belongs to its run only; a tick
  // after the run has ended shows nothing.
  void ResetProgress() override;
  void HideForFinish() override;
  void CloseAsCancel() override;
  void EndAfterFinish() override;

  void LeaveUpdater(bool askProductToExit);
  void PresentProgress(const ProgressUpdate& update);

  void PlaceTemplateControls();
  void FitTextControlsToTheirFont();
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

  ProgressPacer m_progressPacer;
  UpdateEngine m_engine;
  int32_t m_allowShow = 1;
  RECT m_statusRect{};
};

// The one update window object and its handle, published for the threads
// that post to it.
extern UpdateDialog* g_pUpdateDialog;
extern HWND g_hUpdateWnd;
