#include "win32/ui/framework/data_exchange.h"

#include <vector>

namespace tessarin::ui {

void DDX_CBString(CDataExchange& dx, int id, std::string& value) {
  HWND combo = dx.Item(id);
  dx.m_hLastControl = combo;
  if (dx.m_bSaveAndValidate) {
    const LRESULT sel = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    if (sel != CB_ERR) {
      const LRESULT len = SendMessageA(combo, CB_GETLBTEXTLEN, sel, 0);
      std::vector<char> text(len > 0 ? len + 1 : 1, '\0');
      if (len > 0) SendMessageA(combo, CB_GETLBTEXT, sel, reinterpret_cast<LPARAM>(text.data()));
      value = text.data();
    } else {
      const int len = GetWindowTextLengthA(combo);
      std::vector<char> text(len + 1, '\0');
      GetWindowTextA(combo, text.data(), len + 1);
      value = text.data();
    }
    return;
  }
  // The prefix search starts after index -1, that is from the top.
  if (SendMessageA(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(value.c_str())) == CB_ERR)
    SetWindowTextA(combo, value.c_str());
}

void DDV_MaxChars(CDataExchange& dx, const std::string& value, int maxChars) {
  if (dx.m_bSaveAndValidate) {
    if (static_cast<int>(value.size()) > maxChars) {
      MessageBeep(MB_ICONEXCLAMATION);
      if (dx.m_hLastControl != nullptr) SetFocus(dx.m_hLastControl);
      dx.Fail();
    }
    return;
  }
  if (dx.m_hLastControl != nullptr) SendMessageA(dx.m_hLastControl, CB_LIMITTEXT, maxChars, 0);
}

void DDX_Check(CDataExchange& dx, int id, int& value) {
  HWND button = dx.Item(id);
  dx.m_hLastControl = button;
  if (dx.m_bSaveAndValidate)
    value = SendMessageA(button, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
  else
    SendMessageA(button, BM_SETCHECK, value != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
}

void DDX_Control(CDataExchange& dx, int id, CControl& control) {
  if (control.m_hWnd == nullptr) control.m_hWnd = dx.Item(id);
  dx.m_hLastControl = control.m_hWnd;
}

}  // namespace tessarin::ui
