#include "ui/UpdateDialog.h"

#include "res/resource.h"

UpdateDialog* g_pUpdateDialog = nullptr;
HWND g_hUpdateWnd = nullptr;

UpdateDialog::UpdateDialog(CWnd* parent) : CDialog(IDD_UPDATER, parent) { g_pUpdateDialog = this; }

BOOL UpdateDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  g_hUpdateWnd = m_hWnd;
  return TRUE;
}
