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
  const LRESULT result = ::SendMessageA(wnd, message, wParam, lParam);
  if (message == WM_INITDIALOG) return static_cast<INT_PTR>(result);
  ::SetWindowLongPtrA(wnd, DWLP_MSGRESULT, result);
  return TRUE;
}

INT_PTR CDialog::DoModal() {
  HWND parent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
  t_creating = this;
  HWND wnd = ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_templateId), parent,
                                  &CDialog::StaticDlgProc, 0);
  t_creating = nullptr;
  if (!wnd) return -1;

  const bool disableParent = parent && ::IsWindowEnabled(parent);
  if (disableParent) ::EnableWindow(parent, FALSE);
  m_modalResult = -1;
  m_inModalLoop = ::IsWindow(wnd) != FALSE && m_hWnd == wnd;
  if (m_inModalLoop && !::IsWindowVisible(wnd)) ::ShowWindow(wnd, SW_SHOWNORMAL);

  MSG msg;
  while (m_inModalLoop) {
    const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
    if (got <= 0) {
      if (got == 0) ::PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (!WalkPreTranslateTree(wnd, &msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
  }

  if (disableParent) ::EnableWindow(parent, TRUE);
  if (parent && ::GetActiveWindow() == wnd) ::SetActiveWindow(parent);
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
  if (m_hWnd) ::PostMessageA(m_hWnd, WM_NULL, 0, 0);
}

BOOL CDialog::PreTranslateMessage(MSG* msg) {
  // Keyboard navigation of the dialog manager (Tab, arrows, Return, Escape).
  if (msg->message >= WM_KEYFIRST && msg->message <= WM_KEYLAST && m_hWnd)
    return ::IsDialogMessageA(m_hWnd, msg);
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

LRESULT CDialog::OnInitDialogMessage(WPARAM, LPARAM) { return OnInitDialog(); }

LRESULT CDialog::OnOKCommand(WPARAM, LPARAM) {
  OnOK();
  return 0;
}

LRESULT CDialog::OnCancelCommand(WPARAM, LPARAM) {
  OnCancel();
  return 0;
}
