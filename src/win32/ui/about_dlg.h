// The About box: the window's icon, the product name and the maker's lines;
// its title repeats the main window's.
#pragma once

#include "win32/ui/framework/dialog_base.h"

namespace tessarin::ui {

inline constexpr int kIdAboutIcon = 1005;

class CAboutDlg : public CDialogBase {
 public:
  CAboutDlg() : CDialogBase(100, nullptr) {}

  CControl m_ctlIcon;

 protected:
  void DoDataExchange(CDataExchange& dx) override;
  BOOL OnInitDialog() override;
};

}  // namespace tessarin::ui
