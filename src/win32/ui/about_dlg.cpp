#include "win32/ui/about_dlg.h"

#include <vector>

#include "res/string_ids.h"
#include "win32/ui/framework/app_base.h"

namespace tessarin::ui {

void CAboutDlg::DoDataExchange(CDataExchange& dx) { DDX_Control(dx, IDC_ABOUT_ICON, m_ctlIcon); }

BOOL CAboutDlg::OnInitDialog() {
  CDialogBase::OnInitDialog();
  CAppBase* app = AppGetApp();
  HWND main = app != nullptr && app->m_pMainWnd != nullptr ? app->m_pMainWnd->GetSafeHwnd() : nullptr;

  const LRESULT icon = SendMessageA(main, WM_GETICON, ICON_SMALL, 0);
  m_ctlIcon.Send(STM_SETICON, static_cast<WPARAM>(icon));

  char prefix[256] = {};
  LoadStringA(app != nullptr ? app->m_hInstance : GetModuleHandleA(nullptr), IDS_ABOUT_PREFIX, prefix, sizeof prefix);
  const int len = GetWindowTextLengthA(main);
  std::vector<char> title(len + 1, '\0');
  GetWindowTextA(main, title.data(), len + 1);
  SetWindowTextA(m_hWnd, (std::string(prefix) + title.data()).c_str());
  return TRUE;
}

}  // namespace tessarin::ui
