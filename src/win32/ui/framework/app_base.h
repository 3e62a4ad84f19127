// The application object of our small dialog framework: the program's name
// (the executable's base name, the caption of every message box), its main
// window, its help file and the command map that receives the help command.
#pragma once

#include <windows.h>

#include <string>

namespace tessarin::ui {

class CDialogBase;

// The help command the framework sends to the main window on F1.
inline constexpr UINT kIdHelp = 0xE146;

enum class HelpType { WinHelp = 0, HtmlHelp = 1 };

class CAppBase {
 public:
  CAppBase();
  virtual ~CAppBase();
  CAppBase(const CAppBase&) = delete;
  CAppBase& operator=(const CAppBase&) = delete;

  // The program's start: returns FALSE when no message loop of the
  // application's own should run.
  virtual BOOL InitInstance() = 0;

  // Commands that reached the main window and that no dialog handled.
  // Returns true when the command was handled.
  virtual bool OnCmdMsg(UINT id);

  // Routes the help command to the main window's help operation.
  void OnHelp();

  HINSTANCE m_hInstance = nullptr;
  std::string m_pszAppName;       // executable base name
  std::string m_pszExeName;       // executable base name
  std::string m_lpCmdLine;        // the arguments after the program's name
  std::string m_pszHelpFilePath;  // set by the framework to <exe path>.HLP
  HelpType m_eHelpType = HelpType::WinHelp;
  CDialogBase* m_pMainWnd = nullptr;

  // Framework start: module data, names and the default help path; then
  // InitInstance. Returns the process exit code.
  int Run(HINSTANCE instance, const char* commandLine);
};

// The one application object.
CAppBase* AppGetApp();

// The arguments of a command line: the text after the program's name (which
// may be quoted), with the blanks that separate them removed.
std::string ArgumentsOf(const char* commandLine);

}  // namespace tessarin::ui
