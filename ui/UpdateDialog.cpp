#include "ui/UpdateDialog.h"

#include "app/Messages.h"
#include "app/UpdaterApp.h"
#include "engine/ProductLink.h"
#include "framework/Thread.h"
#include "res/resource.h"

UpdateDialog* g_pUpdateDialog = nullptr;
HWND g_hUpdateWnd = nullptr;

UpdateDialog::UpdateDialog(CWnd* parent) : CDialog(IDD_UPDATER, parent) {
  m_hIcon = ::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME));
  ResetRun();
  m_keepPartial = 0;
  g_pUpdateDialog = this;
  m_runCount = 0;
  m_state = UpdateState::Idle;
  m_allowShow = App().m_nUpdateMode == ModeBackground ? 0 : 1;
}

UpdateDialog::~UpdateDialog() = default;

BEGIN_MESSAGE_MAP(UpdateDialog, CDialog)
  ON_BN_CLICKED(IDC_UPGRADE, OnUpgrade)
  ON_MESSAGE(WM_WINDOWPOSCHANGING, OnWindowPosChanging)
  ON_BN_CLICKED(IDC_SKIP, OnSkip)
  ON_BN_CLICKED(IDC_FINISH, OnFinish)
  ON_BN_CLICKED(IDC_EXIT_PRODUCT, OnExitProduct)
  ON_BN_CLICKED(IDC_CLOSE_BUTTON, OnCloseButton)
  ON_MESSAGE(WM_TIMER, OnTimer)
  ON_MESSAGE(WM_DOWNLOAD_FINISHED, OnDownloadFinished)
  ON_MESSAGE(WM_MANIFEST_CHECKED, OnManifestChecked)
END_MESSAGE_MAP()

void UpdateDialog::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, IDC_DOWNLOAD_LINK, m_link);
  DDX_Control(dx, IDC_STATUS, m_statusText);
  DDX_Control(dx, IDC_PROGRESS, m_progress);
  DDX_Control(dx, IDC_CLOSE_BUTTON, m_btnClose);
  DDX_Control(dx, IDC_UPGRADE, m_btnUpgrade);
  DDX_Control(dx, IDC_SKIP, m_btnSkip);
  DDX_Control(dx, IDC_EXIT_PRODUCT, m_btnExit);
  DDX_Control(dx, IDC_FINISH, m_btnFinish);
  DDX_Control(dx, IDC_RELEASE_NOTES, m_releaseNotes);
}

BOOL UpdateDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  g_hUpdateWnd = m_hWnd;
  SetWindowPos(HWND_TOPMOST, 0, 0, 300, 320, SWP_NOMOVE);
  ModifyStyleEx(WS_EX_APPWINDOW, WS_EX_TOOLWINDOW);
  CenterWindow();
  ::SetForegroundWindow(m_hWnd);
  ShowOffer();
  ::SetFocus(m_btnUpgrade.m_hWnd);
  AfxBeginThread(&UpdaterExitWatcher, this);
  return FALSE;
}

// Presentations.

void UpdateDialog::ShowOffer() {
  switch (App().m_nUpdateMode) {
    case ModeOptional:
      m_statusText.SetWindowText("");
      m_btnFinish.ShowWindow(SW_HIDE);
      m_btnExit.ShowWindow(SW_HIDE);
      m_releaseNotes.SetWindowText(App().m_strReleaseNotes);
      Invalidate(TRUE);
      break;
    case ModeMandatory:
      m_statusText.SetWindowText("");
      m_btnSkip.ShowWindow(SW_HIDE);
      m_btnFinish.ShowWindow(SW_HIDE);
      m_releaseNotes.SetWindowText(App().m_strReleaseNotes);
      Invalidate(TRUE);
      break;
    case ModeBackground:
      StartUpdate(0);
      break;
    default:
      break;
  }
}

void UpdateDialog::ShowUpdating(int32_t mode) {
  m_statusText.SetWindowText(AfxLoadString(IDS_UPDATING));
  m_btnUpgrade.EnableWindow(FALSE);
  if (mode == ModeOptional) m_btnSkip.SetWindowText(AfxLoadString(IDS_CANCEL));
  Invalidate(TRUE);
}

void UpdateDialog::ShowFailure() {
  m_statusText.SetWindowText(AfxLoadString(IDS_UPDATE_FAILED));
  m_btnUpgrade.EnableWindow(TRUE);
  Invalidate(TRUE);
}

void UpdateDialog::ShowSuccess() {
  m_btnFinish.ShowWindow(SW_SHOW);
  m_btnUpgrade.ShowWindow(SW_HIDE);
  m_btnSkip.ShowWindow(SW_HIDE);
  m_btnExit.ShowWindow(SW_HIDE);
  m_progress.SetPos(100);
  m_statusText.SetWindowText(AfxLoadString(IDS_UPDATE_SUCCEEDED));
  Invalidate(TRUE);
}

bool UpdateDialog::ConfirmLeave() {
  if (m_state != UpdateState::Running) return true;
  const std::string text = AfxLoadString(IDS_CONFIRM_LEAVE);
  const std::string caption = AfxLoadString(IDS_UPGRADE_NOTICE);
  return ::MessageBoxA(m_hWnd, text.c_str(), caption.c_str(), MB_OKCANCEL) != IDCANCEL;
}

// Actions.

LRESULT UpdateDialog::OnUpgrade(WPARAM, LPARAM) {
  m_statusRect = m_statusText.GetWindowRect();
  ScreenToClient(&m_statusRect);
  ShowUpdating(App().m_nUpdateMode);
  StartUpdate(0);
  return 0;
}

void UpdateDialog::LeaveUpdater(bool askProductToExit) {
  if (!ConfirmLeave()) return;
  if (askProductToExit) RequestProductExit(kProductExitEvent);
  EndDialog(IDCANCEL);
}

LRESULT UpdateDialog::OnSkip(WPARAM, LPARAM) {
  LeaveUpdater(false);
  return 0;
}

LRESULT UpdateDialog::OnExitProduct(WPARAM, LPARAM) {
  LeaveUpdater(true);
  return 0;
}

LRESULT UpdateDialog::OnFinish(WPARAM, LPARAM) {
  FinishUpdate();
  return 0;
}

LRESULT UpdateDialog::OnCloseButton(WPARAM, LPARAM) {
  if (m_state == UpdateState::Succeeded)
    FinishUpdate();
  else if (App().m_nUpdateMode == ModeOptional)
    LeaveUpdater(false);
  else if (App().m_nUpdateMode == ModeMandatory)
    LeaveUpdater(true);
  return 0;
}

LRESULT UpdateDialog::OnWindowPosChanging(WPARAM, LPARAM lParam) {
  const LRESULT result = Default();
  // In the background mode nothing may show the window.
  if (!m_allowShow) reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
  return result;
}
