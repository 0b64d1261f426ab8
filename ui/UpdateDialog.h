// The updater's one window. It is given what it shows and whom to ask
// (UpdateActions); what a run shows comes through its public presentations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "framework/Controls.h"
#include "skin/Hyperlink.h"
#include "skin/SkinButton.h"
#include "skin/SkinDialog.h"
#include "ui/UpdateActions.h"

// What the window is for: the work order's mode as the window sees it.
enum class WindowRole {
  Optional,    // the user may decline and keep the product
  Mandatory,   // declining also asks the product to exit
  Background,  // never shown; the run starts at once
  Other,       // an unknown mode: nothing hidden, 升级 runs, 关闭 waits for the end
};

struct WindowSetup {
  WindowRole role = WindowRole::Other;
  // The install folder: the product's skin settings and skin folders.
  std::wstring installFolder;
  // The release notes, taken when the offer shows (they may still be coming).
  std::function<std::wstring()> releaseNotes;
};

// The status line of a run held back (UpdateDialog::ShowHeldBack).
std::wstring HeldBackText(int64_t pinnedAt);

class UpdateDialog : public SkinDialog {
 public:
  UpdateDialog(WindowSetup setup, UpdateActions& actions);
  ~UpdateDialog() override;

  // The window's look.
  void LoadSkin();
  void LayoutControls();

  // Presentations and the leave confirmation.
  void ShowOffer();
  void ShowUpdating();
  void ShowFailure();
  void ShowSuccess();
  // Not offered here: held at release `pinnedAt` by the administrator, or
  // (-1) halted by the release team. Only the close button stays.
  void ShowHeldBack(int64_t pinnedAt);
  // The bar at `percent` with the kilobyte line; the token position while
  // the total is not known.
  void ShowProgress(int percent, uint32_t doneKilobytes, uint32_t totalKilobytes);
  void ShowActivity(int position);
  void HideForFinish();
  bool ConfirmLeave();

  // Ends: a close posted to the window (handled as any close request), a
  // cancel at once, and OK once the finish is done.
  void PostClose();
  void EndCancelled();
  void EndFinished();

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
  // The line under the title, from the string table.
  void SetNotice(UINT id);

  LRESULT OnSysCommand(WPARAM, LPARAM);
  // A posted WM_CLOSE (the updater-exit watcher, the engine) ends at once.
  LRESULT OnCloseMessage(WPARAM, LPARAM);
  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnQueryDragIcon(WPARAM, LPARAM);
  LRESULT OnCtlColor(WPARAM, LPARAM);

  LRESULT OnUpgrade(WPARAM, LPARAM);
  LRESULT OnSkip(WPARAM, LPARAM);
  LRESULT OnFinish(WPARAM, LPARAM);
  LRESULT OnExitProduct(WPARAM, LPARAM);
  LRESULT OnCloseButton(WPARAM, LPARAM);
  LRESULT OnWindowPosChanging(WPARAM, LPARAM);

  DECLARE_MESSAGE_MAP()

 private:
  void LeaveUpdater(bool askProductToExit);

  void PlaceTemplateControls();
  void FitTextControlsToTheirFont();
  // The caption record of a text button.
  StyledText ButtonCaption(const std::wstring& text) const;

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

  const WindowSetup m_setup;
  UpdateActions& m_actions;
  int32_t m_allowShow = 1;
  RECT m_statusRect{};
};
