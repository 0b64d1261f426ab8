#include "framework/Dialog.h"

#include "framework/WinApp.h"

namespace {
// The dialog being created on this thread: its window gets its first
// messages before CreateDialogParam has returned the handle.
thread_local CDialog* t_creating = nullptr;
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  if (!control.m_hWnd) control.SubclassDlgItem(static_cast<UINT>(id), dx->m_pDlgWnd);
}

CDialog::CDialog(UINT templateId, CWnd* parent) : m_templateId(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog() {
  if (m_hWnd && ::IsWindow(m_hWnd)) ::DestroyWindow(m_hWnd);
}

BEGIN_MESSAGE_MAP(CDialog, CWnd)
  ON_MESSAGE(WM_INITDIALOG, OnInitDialogMessage)
  ON_BN_CLICKED(IDOK, OnOKCommand)
  ON_BN_CLICKED(IDCANCEL, OnCancelCommand)
END_MESSAGE_MAP()

INT_PTR CALLBACK CDialog::StaticDlgProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // The dialog manager's procedure calls this one. Once the object is bound,
  // its own procedure sees every message first and sends here only what it
  // leaves to default processing: answer "not handled".
  if (CWnd::FromHandlePermanent(wnd)) return FALSE;
  CDialog* self = t_creating;
  if (!self) return FALSE;
  t_creating = nullptr;
  self->SubclassWindow(wnd);
  // This first message came through the dialog manager: hand it to the
  // object the way every later one will reach it, and stop the default
  // processing here, which the object's Default() has already run.
  const LRESULT result = ::SendMessageW(wnd, message, wParam, lParam);
  if (message == WM_INITDIALOG) return static_cast<INT_PTR>(result);
  ::SetWindowLongPtrW(wnd, DWLP_MSGRESULT, result);
  return TRUE;
}

HWND CDialog::ModalOwner() const {
  // Without a parent the application's main window owns the dialog, as it
  // would in any framework: the dialog opens over it and it is disabled.
  HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
  if (!owner)
    if (CWinApp* app = AfxGetApp(); app && app->m_pMainWnd && app->m_pMainWnd != this) owner = app->m_pMainWnd->m_hWnd;
  if (owner && !::IsWindow(owner)) return nullptr;
  return owner ? ::GetAncestor(owner, GA_ROOT) : nullptr;
}

INT_PTR CDialog::DoModal() {
  HWND owner = ModalOwner();
  // EndDialog may come during WM_INITDIALOG, before the loop would start.
  m_modalResult = -1;
  m_inModalLoop = true;
  t_creating = this;
  HWND wnd = ::CreateDialogParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_templateId), owner,
                                  &CDialog::StaticDlgProc, 0);
  t_creating = nullptr;
  if (!wnd) {
    m_inModalLoop = false;
    return -1;
  }

  const bool disableOwner = owner && ::IsWindowEnabled(owner);
  if (disableOwner) ::EnableWindow(owner, FALSE);
  if (m_hWnd != wnd) m_inModalLoop = false;
  if (m_inModalLoop && !::IsWindowVisible(wnd)) ::ShowWindow(wnd, SW_SHOWNORMAL);

  MSG msg;
  // A dialog destroyed without EndDialog ends the loop too.
  while (m_inModalLoop && ::IsWindow(wnd)) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      if (got == 0) ::PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (!WalkPreTranslateTree(wnd, &msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
  m_inModalLoop = false;

  if (disableOwner) ::EnableWindow(owner, TRUE);
  if (owner && ::GetActiveWindow() == wnd) ::SetActiveWindow(owner);
  if (::IsWindow(wnd)) {
    ::SetWindowPos(wnd, nullptr, 0, 0, 0, 0,
                   SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
    ::DestroyWindow(wnd);
  }
  return m_modalResult;
}

void CDialog::EndDialog(int result) {
  m_modalResult = result;
  m_inModalLoop = false;
  // Wake the loop if it is waiting.
  if (m_hWnd) ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
}

BOOL CDialog::PreTranslateMessage(MSG* msg) {
  // Keyboard navigation of the dialog manager (Tab, arrows, Return, Escape).
  if (msg->message >= WM_KEYFIRST && msg->message <= WM_KEYLAST && m_hWnd)
    return ::IsDialogMessageW(m_hWnd, msg);
  return FALSE;
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange dx{this, saveAndValidate};
  DoDataExchange(&dx);
  return TRUE;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  UpdateData(TRUE);
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

LRESULT CDialog::OnInitDialogMessage(WPARAM, LPARAM) {
  const RECT before = GetWindowRect();
  const BOOL result = OnInitDialog();
  // A dialog that its initialisation did not place opens centred over its
  // owner (or the screen), not at the template's corner.
  const RECT after = m_hWnd ? GetWindowRect() : before;
  if (m_hWnd && ::EqualRect(&before, &after) && !(GetStyle() & (WS_CHILD | DS_CENTER)) && !(GetStyle() & DS_ABSALIGN))
    CenterWindow();
  return result;
}

LRESULT CDialog::OnOKCommand(WPARAM, LPARAM) {
  OnOK();
  return 0;
}

LRESULT CDialog::OnCancelCommand(WPARAM, LPARAM) {
  OnCancel();
  return 0;
}
