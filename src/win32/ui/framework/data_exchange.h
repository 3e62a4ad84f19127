// Data exchange between a dialog's controls and its members, in either
// direction, with the checks made when values go into the members.
#pragma once

#include <windows.h>

#include <string>

namespace tessarin::ui {

// A control bound to a member: its window handle once attached.
class CControl {
 public:
  HWND m_hWnd = nullptr;
  LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return SendMessageA(m_hWnd, message, wParam, lParam);
  }
};

class CDataExchange {
 public:
  CDataExchange(HWND dialog, bool saveAndValidate) : m_hDialog(dialog), m_bSaveAndValidate(saveAndValidate) {}

  HWND m_hDialog;
  bool m_bSaveAndValidate;  // true: controls into members

  bool Failed() const { return m_bFailed; }
  void Fail() { m_bFailed = true; }
  HWND Item(int id) const { return GetDlgItem(m_hDialog, id); }

  // The control the last exchange worked on, for the checks that follow it.
  HWND m_hLastControl = nullptr;

 private:
  bool m_bFailed = false;
};

// Combo box text: into the member, the selected entry (or the edit text);
// into the control, the first entry starting with the text, else the text.
void DDX_CBString(CDataExchange& dx, int id, std::string& value);
// At most maxChars characters: limits the control's text, and fails the
// exchange into the members for a longer text.
void DDV_MaxChars(CDataExchange& dx, const std::string& value, int maxChars);
// Check box: 1 checked, 0 not checked.
void DDX_Check(CDataExchange& dx, int id, int& value);
// Attaches a control on the first exchange.
void DDX_Control(CDataExchange& dx, int id, CControl& control);

}  // namespace tessarin::ui
