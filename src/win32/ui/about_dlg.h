// The About box: the window's icon, the product name and the maker's lines;
// its title repeats the main window's.
#pragma once

#include "res/resource_ids.h"
#include "win32/ui/framework/dialog_base.h"

namespace tessarin::ui {

class CAboutDlg : public CDialogBase {
 public:
  CAboutDlg() : CDialogBase(IDD_ABOUTBOX, nullptr) {}

  CControl m_ctlIcon;

 protected:
  void DoDataExchange(CDataExchange& dx) override;
  BOOL OnInitDialog() override;
};

}  // namespace tessarin::ui
