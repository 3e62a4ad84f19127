#include "win32/app/tessarin_app.h"

#include <windows.h>
// commctrl.h needs the types of windows.h
#include <commctrl.h>

#include "res/string_ids.h"
#include "win32/ui/tessarin_dlg.h"

namespace tessarin::ui {
namespace {

std::string LoadText(HINSTANCE module, unsigned id) {
  char text[256] = {};
  const int n = LoadStringA(module, id, text, sizeof text);
  return n > 0 ? std::string(text, n) : std::string();
}

// Any directory entry of that name counts, file or folder; an empty name
// never matches.
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

int ProbeInstallerArchives(const std::string& romDos, const std::string& dos, const std::string& winCe) {
  if (EntryExists(romDos)) return 1;
  if (EntryExists(dos)) return 2;
  if (EntryExists(winCe)) return 3;
  return 0;
}

BOOL CTessarinApp::InitInstance() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_ANIMATE_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  CTessarinDlg dlg;
  m_pMainWnd = &dlg;

  const int kind =
      ProbeInstallerArchives(LoadText(m_hInstance, IDS_ROMDOS_ARCHIVE), LoadText(m_hInstance, IDS_DOS_ARCHIVE),
                             LoadText(m_hInstance, IDS_WINCE_ARCHIVE));
  if (kind != 0) dlg.SetSystemKind(kind);

  m_pszHelpFilePath = ReplaceAll(m_pszHelpFilePath, ".HLP", ".chm");
  m_eHelpType = HelpType::HtmlHelp;

  dlg.DoModal();
  m_pMainWnd = nullptr;
  return FALSE;
}

}  // namespace tessarin::ui
