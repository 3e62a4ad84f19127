#include "win32/ui/framework/app_base.h"

#include "win32/ui/framework/dialog_base.h"

namespace tessarin::ui {
namespace {
CAppBase* g_pApp = nullptr;
}

CAppBase::CAppBase() { g_pApp = this; }

CAppBase::~CAppBase() {
  if (g_pApp == this) g_pApp = nullptr;
}

CAppBase* AppGetApp() { return g_pApp; }

bool CAppBase::OnCmdMsg(UINT id) {
  if (id == kIdHelp) {
    OnHelp();
    return true;
  }
  return false;
}

void CAppBase::OnHelp() {
  if (m_pMainWnd == nullptr) return;
  if (m_eHelpType == HelpType::HtmlHelp) m_pMainWnd->HtmlHelp(0, 0x000F /* HH_HELP_CONTEXT */);
}

std::string ArgumentsOf(const char* commandLine) {
  if (commandLine == nullptr) return {};
  const char* p = commandLine;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '"') {
    ++p;
    while (*p != '\0' && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

int CAppBase::Run(HINSTANCE instance, const char* commandLine) {
  m_hInstance = instance;
  m_lpCmdLine = ArgumentsOf(commandLine);

  char path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(instance, path, MAX_PATH);
  std::string full(path, n < MAX_PATH ? n : 0);
  std::string base = full.substr(full.find_last_of("\\/:") == std::string::npos ? 0 : full.find_last_of("\\/:") + 1);
  const std::size_t dot = base.find_last_of('.');
  if (dot != std::string::npos) base.erase(dot);
  m_pszAppName = base;
  m_pszExeName = base;

  // The default help file sits beside the executable with the old help
  // extension; the application may point it elsewhere.
  std::string help = full;
  const std::size_t sep = help.find_last_of("\\/");
  const std::size_t ext = help.find_last_of('.');
  if (ext != std::string::npos && (sep == std::string::npos || ext > sep)) help.erase(ext);
  m_pszHelpFilePath = help + ".HLP";

  if (InitInstance()) {
    // The program has no message loop of its own; a dialog-based program
    // always returns FALSE above.
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
  }
  return 0;
}

}  // namespace tessarin::ui
