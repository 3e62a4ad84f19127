// The main dialog: drive list, project option, restore button, log list and
// progress animation. It is also the operator's side of the restore.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "card/operator_port.h"
#include "card/system_kinds.h"
#include "res/resource_ids.h"
#include "win32/ui/framework/dialog_base.h"

namespace tessarin {
class Win32Platform;
}

namespace tessarin::ui {

// The Exit button is the window system's OK button; the IDs of the other
// controls (IDC_*) and the About command (IDM_ABOUTBOX) are the program's
// own, from res/resource_ids.h.
inline constexpr int kIdExit = IDOK;

class CTessarinDlg : public CDialogBase, public OperatorPort {
 public:
  explicit CTessarinDlg(CDialogBase* parent = nullptr);
  ~CTessarinDlg() override;

  // Stores only the kinds 1 to 3; other values are ignored.
  void SetSystemKind(int kind);
  SystemKind GetSystemKind() const { return m_nSystemKind; }

  void HtmlHelp(DWORD_PTR data, UINT command) override;

  // The operator's side of the restore; called from the worker thread.
  int ShowMessageBox(const std::string& text, unsigned flags) override;
  void AddLogLine(const std::string& line) override;
  void AddLogLineNoScroll(const std::string& line) override;
  void StartProgressAnimation() override;
  void StopProgressAnimation() override;
  void SetBusy(bool busy) override;
  DialogValues ExchangeIntoMembers() override;

  // The restore named on the command line, on this thread.
  void RunUnattendedRestore(std::string drive);

  std::string m_strDrive;
  int m_bPreserveProject = 1;
  HICON m_hIcon = nullptr;
  // The dialog's own kind; see g_nSystemKind for the process-wide copy.
  SystemKind m_nSystemKind = SystemKind::WinCE;
  CControl m_lstLog;

 protected:
  void DoDataExchange(CDataExchange& dx) override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;

  MsgResult OnSysCommand(WPARAM wParam, LPARAM lParam);
  MsgResult OnDestroy(WPARAM wParam, LPARAM lParam);
  MsgResult OnPaint(WPARAM wParam, LPARAM lParam);
  MsgResult OnQueryDragIcon(WPARAM wParam, LPARAM lParam);
  MsgResult OnRestore(WPARAM wParam, LPARAM lParam);
  MsgResult OnExchangeRequest(WPARAM wParam, LPARAM lParam);
  MsgResult OnWorkerEnded(WPARAM wParam, LPARAM lParam);

  TS_DECLARE_MESSAGE_MAP()

 private:
  static unsigned WorkerEntry(void* param);
  void FillDriveList();
  bool RestoreRunning() const { return m_bRestoreRunning.load(); }

  std::unique_ptr<Win32Platform> m_pPlatform;
  // Set by the button before the worker starts and cleared once the worker
  // is done with the dialog: while set, the dialog does not close.
  std::atomic<bool> m_bRestoreRunning{false};
};

}  // namespace tessarin::ui
