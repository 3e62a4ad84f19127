#include "win32/ui/framework/message_box.h"

#include <windows.h>

#include "card/operation_log.h"
#include "win32/ui/framework/app_base.h"
#include "win32/ui/framework/dialog_base.h"

namespace tessarin::ui {

int AppMessageBox(const std::string& text, unsigned flags) {
  CAppBase* app = AppGetApp();
  HWND owner = nullptr;
  std::string caption;
  if (app != nullptr) {
    if (app->m_pMainWnd != nullptr) owner = app->m_pMainWnd->GetSafeHwnd();
    caption = app->m_pszAppName;
  }
  return MessageBoxA(owner, text.c_str(), caption.c_str(), ApplyDefaultIcon(flags));
}

}  // namespace tessarin::ui
