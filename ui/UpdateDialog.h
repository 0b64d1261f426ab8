// The updater's one window.
#pragma once

#include "framework/Dialog.h"

class UpdateDialog : public CDialog {
 public:
  explicit UpdateDialog(CWnd* parent);

 protected:
  BOOL OnInitDialog() override;
  // Neither Return nor a default-button command ends the window.
  void OnOK() override {}
};

// The one update window object and its handle, published for the threads
// that post to it.
extern UpdateDialog* g_pUpdateDialog;
extern HWND g_hUpdateWnd;
