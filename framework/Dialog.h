// CDialog: a dialog from a resource template, run modally by our own loop so
// that PreTranslateMessage sees every message before the dialog manager.
#pragma once

#include "framework/Wnd.h"

class CDialog;

// What DoDataExchange gets: the dialog whose controls are bound.
struct CDataExchange {
  CDialog* m_pDlgWnd;
  BOOL m_bSaveAndValidate;
};

// Binds a control object to the dialog's control `id` (control exchange only).
void DDX_Control(CDataExchange* dx, int id, CWnd& control);

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT templateId, CWnd* parent = nullptr);
  ~CDialog() override;

  // Creates the dialog, runs it until EndDialog, destroys it; returns the
  // result given to EndDialog, or -1 when it could not be created.
  INT_PTR DoModal();
  void EndDialog(int result);

  BOOL PreTranslateMessage(MSG* msg) override;
  BOOL UpdateData(BOOL saveAndValidate = TRUE);

 protected:
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange*) {}

  LRESULT OnInitDialogMessage(WPARAM, LPARAM);
  LRESULT OnOKCommand(WPARAM, LPARAM);
  LRESULT OnCancelCommand(WPARAM, LPARAM);

  UINT m_templateId;
  CWnd* m_pParentWnd;

  DECLARE_MESSAGE_MAP()

 private:
  HWND ModalOwner() const;
  static INT_PTR CALLBACK StaticDlgProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam);
  bool m_inModalLoop = false;
  INT_PTR m_modalResult = -1;
};
