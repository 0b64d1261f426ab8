// The About box: the program icon, its version and an OK button.
#pragma once

#include "framework/Dialog.h"
#include "res/resource.h"

class AboutDialog : public CDialog {
 public:
  AboutDialog() : CDialog(IDD_ABOUTBOX) {}
};
