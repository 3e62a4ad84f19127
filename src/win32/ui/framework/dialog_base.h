// A modal dialog made from a template of the executable's resources, with
// a message map and data exchange in both directions.
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>

#include "win32/ui/framework/data_exchange.h"

namespace tessarin::ui {

class CDialogBase;

// A handler returns the message's result, or nothing for the default
// processing of the dialog manager.
using MsgResult = std::optional<LRESULT>;
using MsgHandler = MsgResult (CDialogBase::*)(WPARAM, LPARAM);

struct MessageMapEntry {
  UINT message;      // WM_... ; WM_COMMAND entries also name a code and an ID
  UINT code;         // notification code (WM_COMMAND only)
  UINT id;           // control or command ID (WM_COMMAND only)
  bool directValue;  // the result is the dialog procedure's return value
  MsgHandler handler;
};

struct MessageMap {
  const MessageMap* base;
  const MessageMapEntry* entries;
  std::size_t count;
};

template <class T>
MsgHandler MapHandler(MsgResult (T::*handler)(WPARAM, LPARAM)) {
  return static_cast<MsgHandler>(handler);
}

// Message map macros: the map lists what a class handles; what it does not
// list goes to its base class's map and then to the dialog manager.
#define TS_DECLARE_MESSAGE_MAP() \
 protected:                      \
  const ::tessarin::ui::MessageMap* GetMessageMap() const override;

#define TS_BEGIN_MESSAGE_MAP(theClass, baseClass)                     \
  const ::tessarin::ui::MessageMap* theClass::GetMessageMap() const { \
    using ThisClass = theClass;                                       \
    static const ::tessarin::ui::MessageMapEntry kEntries[] = {
#define TS_ON_MESSAGE(msg, fn) {msg, 0, 0, false, ::tessarin::ui::MapHandler(&ThisClass::fn)},
#define TS_ON_MESSAGE_VALUE(msg, fn) {msg, 0, 0, true, ::tessarin::ui::MapHandler(&ThisClass::fn)},
#define TS_ON_BN_CLICKED(id, fn) {WM_COMMAND, BN_CLICKED, id, false, ::tessarin::ui::MapHandler(&ThisClass::fn)},
#define TS_END_MESSAGE_MAP(baseClass)                                                          \
  { 0, 0, 0, false, nullptr }                                                                  \
  }                                                                                            \
  ;                                                                                            \
  static const ::tessarin::ui::MessageMap kMap = {this->baseClass::GetMessageMap(), kEntries,  \
                                                  sizeof(kEntries) / sizeof(kEntries[0]) - 1}; \
  return &kMap;                                                                                \
  }

class CDialogBase {
 public:
  CDialogBase(UINT templateId, CDialogBase* parent);
  virtual ~CDialogBase();
  CDialogBase(const CDialogBase&) = delete;
  CDialogBase& operator=(const CDialogBase&) = delete;

  // Creates the dialog, runs it until EndDialog and destroys its window.
  // Returns the result given to EndDialog, or -1 when the template could
  // not be made into a window.
  INT_PTR DoModal();
  void EndDialog(INT_PTR result);

  // Exchange between controls and members; false when a check failed.
  bool UpdateData(bool saveAndValidate = true);

  HWND GetSafeHwnd() const { return m_hWnd; }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }

  // The help operation the application's help command ends in.
  virtual void HtmlHelp(DWORD_PTR data, UINT command);

  static const MessageMap* BaseMessageMap();

 protected:
  virtual const MessageMap* GetMessageMap() const;
  virtual void DoDataExchange(CDataExchange& dx);
  // Runs the exchange into the controls; returns TRUE for the default focus.
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  // Keys before the dialog manager sees them; true when consumed.
  virtual bool PreTranslateMessage(MSG& msg);

  HWND m_hWnd = nullptr;
  CDialogBase* m_pParent = nullptr;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

  UINT m_nTemplateId;
  bool m_bEnded = false;
  INT_PTR m_nResult = -1;
};

}  // namespace tessarin::ui
