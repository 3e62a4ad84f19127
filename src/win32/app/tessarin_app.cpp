#include "win32/app/tessarin_app.h"

#include <windows.h>
// commctrl.h needs the types of windows.h
#include <commctrl.h>

#include "card/system_kinds.h"
#include "res/string_ids.h"
#include "win32/ui/tessarin_dlg.h"

namespace tessarin::ui {
namespace {

std::string LoadText(HINSTANCE module, unsigned id) {
  char text[256] = {};
  const int n = LoadStringA(module, id, text, sizeof text);
  return n > 0 ? std::string(text, n) : std::string();
}

// Any directory entry of that name counts, file or folder.
bool EntryExists(const std::string& name) {
  if (name.empty()) return false;
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(name.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

}  // namespace

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

BOOL CTessarinApp::InitInstance() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_ANIMATE_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  CTessarinDlg dlg;
  m_pMainWnd = &dlg;

  // The search compares names as the file system does: without regard to
  // case on the usual Windows volumes.
  const HINSTANCE module = m_hInstance;
  const auto kind = DetectSystemKind(EntryExists, [module](unsigned id) { return LoadText(module, id); });
  if (kind) dlg.SetSystemKind(static_cast<int>(*kind));

  m_pszHelpFilePath = ReplaceAll(m_pszHelpFilePath, ".HLP", ".chm");
  m_eHelpType = HelpType::HtmlHelp;

  dlg.DoModal();
  m_pMainWnd = nullptr;
  return FALSE;
}

}  // namespace tessarin::ui
