#include "win32/ui/framework/dialog_base.h"

#include "win32/ui/framework/app_base.h"

namespace tessarin::ui {

CDialogBase::CDialogBase(UINT templateId, CDialogBase* parent) : m_pParent(parent), m_nTemplateId(templateId) {}

CDialogBase::~CDialogBase() {
  if (m_hWnd != nullptr) DestroyWindow(m_hWnd);
}

const MessageMap* CDialogBase::BaseMessageMap() {
  static const MessageMapEntry kEntries[] = {{0, 0, 0, false, nullptr}};
  static const MessageMap kMap = {nullptr, kEntries, 0};
  return &kMap;
}

const MessageMap* CDialogBase::GetMessageMap() const { return BaseMessageMap(); }

void CDialogBase::DoDataExchange(CDataExchange&) {}

bool CDialogBase::UpdateData(bool saveAndValidate) {
  CDataExchange dx(m_hWnd, saveAndValidate);
  DoDataExchange(dx);
  return !dx.Failed();
}

BOOL CDialogBase::OnInitDialog() {
  UpdateData(false);
  return TRUE;
}

void CDialogBase::OnOK() {
  if (!UpdateData(true)) return;
  EndDialog(IDOK);
}

void CDialogBase::OnCancel() { EndDialog(IDCANCEL); }

void CDialogBase::HtmlHelp(DWORD_PTR, UINT) {}

void CDialogBase::EndDialog(INT_PTR result) {
  m_bEnded = true;
  m_nResult = result;
}

bool CDialogBase::PreTranslateMessage(MSG& msg) {
  // F1 without Shift, Ctrl or Alt asks the main window for help, from any
  // of the program's dialogs.
  if (msg.message == WM_KEYDOWN && msg.wParam == VK_F1 && GetKeyState(VK_SHIFT) >= 0 && GetKeyState(VK_CONTROL) >= 0 &&
      GetKeyState(VK_MENU) >= 0) {
    CAppBase* app = AppGetApp();
    if (app != nullptr && app->m_pMainWnd != nullptr && app->m_pMainWnd->m_hWnd != nullptr) {
      SendMessageA(app->m_pMainWnd->m_hWnd, WM_COMMAND, kIdHelp, 0);
      return true;
    }
  }
  return false;
}

INT_PTR CDialogBase::DoModal() {
  CAppBase* app = AppGetApp();
  HINSTANCE instance = app != nullptr ? app->m_hInstance : GetModuleHandleA(nullptr);
  HWND owner = m_pParent != nullptr ? m_pParent->m_hWnd : nullptr;
  if (owner == nullptr && app != nullptr && app->m_pMainWnd != nullptr && app->m_pMainWnd != this)
    owner = app->m_pMainWnd->m_hWnd;

  m_bEnded = false;
  m_nResult = -1;
  HWND hwnd =
      CreateDialogParamA(instance, MAKEINTRESOURCEA(m_nTemplateId), owner, DialogProc, reinterpret_cast<LPARAM>(this));
  if (hwnd == nullptr) return -1;

  const bool ownerWasEnabled = owner != nullptr && IsWindowEnabled(owner);
  if (!m_bEnded) {
    if (ownerWasEnabled) EnableWindow(owner, FALSE);
    ShowWindow(hwnd, SW_SHOW);
    SetForegroundWindow(hwnd);
    HWND focus = GetFocus();
    if (focus == nullptr || (focus != hwnd && !IsChild(hwnd, focus))) {
      HWND first = GetNextDlgTabItem(hwnd, nullptr, FALSE);
      SetFocus(first != nullptr ? first : hwnd);
    }
    MSG msg;
    while (!m_bEnded) {
      const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
      if (got <= 0) {
        if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
        if (!m_bEnded) m_nResult = IDCANCEL;
        break;
      }
      if (PreTranslateMessage(msg)) continue;
      if (IsDialogMessageA(hwnd, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (ownerWasEnabled) EnableWindow(owner, TRUE);
    if (owner != nullptr && GetActiveWindow() == hwnd) SetActiveWindow(owner);
  }
  if (m_hWnd != nullptr) DestroyWindow(m_hWnd);
  m_hWnd = nullptr;
  return m_nResult;
}

INT_PTR CALLBACK CDialogBase::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialogBase* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CDialogBase*>(lParam);
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    self->m_hWnd = hwnd;
    return self->OnInitDialog();
  }
  self = reinterpret_cast<CDialogBase*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (self == nullptr) return FALSE;
  const INT_PTR result = self->Dispatch(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(hwnd, DWLP_USER, 0);
    self->m_hWnd = nullptr;
  }
  return result;
}

INT_PTR CDialogBase::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  const UINT code = HIWORD(wParam);
  const UINT id = LOWORD(wParam);
  for (const MessageMap* map = GetMessageMap(); map != nullptr; map = map->base) {
    for (std::size_t i = 0; i < map->count; ++i) {
      const MessageMapEntry& e = map->entries[i];
      if (e.message != message) continue;
      if (message == WM_COMMAND && (e.code != code || e.id != id)) continue;
      const MsgResult r = (this->*e.handler)(wParam, lParam);
      if (!r) return FALSE;
      if (e.directValue) return static_cast<INT_PTR>(*r);
      SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, *r);
      return TRUE;
    }
  }
  if (message == WM_COMMAND && code == BN_CLICKED && id == IDOK) {
    OnOK();
    return TRUE;
  }
  if (message == WM_COMMAND && code == BN_CLICKED && id == IDCANCEL) {
    OnCancel();
    return TRUE;
  }
  if (message == WM_COMMAND && lParam == 0) {
    // A command, not a control's notification: the application's map.
    CAppBase* app = AppGetApp();
    if (app != nullptr && app->OnCmdMsg(id)) return TRUE;
  }
  return FALSE;
}

}  // namespace tessarin::ui
