#include "win32/ui/tessarin_dlg.h"

#include <commctrl.h>

#include <vector>

#include "card/drive_rules.h"
#include "card/system_kinds.h"
#include "res/string_ids.h"
#include "restore/restore_sequence.h"
#include "restore/unattended_restore.h"
#include "win32/app/platform_ports.h"
#include "win32/ui/about_dlg.h"
#include "win32/ui/framework/app_base.h"
#include "win32/ui/framework/message_box.h"
#include "win32/ui/framework/worker_thread.h"
#include "win32/ui/html_help.h"
#include "win32/ui/progress_animation.h"

namespace tessarin::ui {
namespace {

// Sent by the worker: run the exchange into the members on this thread.
constexpr UINT kMsgExchangeIntoMembers = WM_APP + 1;
// Sent by the worker as its very last use of the dialog.
constexpr UINT kMsgWorkerEnded = WM_APP + 2;

HINSTANCE ResourceModule() {
  CAppBase* app = AppGetApp();
  return app != nullptr && app->m_hInstance != nullptr ? app->m_hInstance : GetModuleHandleA(nullptr);
}

}  // namespace

TS_BEGIN_MESSAGE_MAP(CTessarinDlg, CDialogBase)
TS_ON_MESSAGE(WM_SYSCOMMAND, OnSysCommand)
TS_ON_MESSAGE(WM_DESTROY, OnDestroy)
TS_ON_MESSAGE(WM_PAINT, OnPaint)
TS_ON_MESSAGE_VALUE(WM_QUERYDRAGICON, OnQueryDragIcon)
TS_ON_BN_CLICKED(IDC_RESTORE, OnRestore)
TS_ON_MESSAGE(kMsgExchangeIntoMembers, OnExchangeRequest)
TS_ON_MESSAGE(kMsgWorkerEnded, OnWorkerEnded)
TS_END_MESSAGE_MAP(CDialogBase)

CTessarinDlg::CTessarinDlg(CDialogBase* parent)
    : CDialogBase(IDD_TESSARIN_DIALOG, parent),
      m_hIcon(LoadIconA(ResourceModule(), MAKEINTRESOURCEA(IDI_DOS))),
      m_pPlatform(std::make_unique<Win32Platform>(*this)) {}

CTessarinDlg::~CTessarinDlg() = default;

void CTessarinDlg::SetSystemKind(int kind) {
  if (const auto k = SystemKindFromNumber(kind)) m_nSystemKind = *k;
}

void CTessarinDlg::DoDataExchange(CDataExchange& dx) {
  DDX_CBString(dx, IDC_DRIVE_LIST, m_strDrive);
  DDV_MaxChars(dx, m_strDrive, static_cast<int>(kMaxDriveEntryLength));
  DDX_Check(dx, IDC_PRESERVE_PROJECT, m_bPreserveProject);
  DDX_Control(dx, IDC_LOG_LIST, m_lstLog);
}

BOOL CTessarinDlg::OnInitDialog() {
  CDialogBase::OnInitDialog();

  g_nSystemKind = GetSystemKind();
  RestoreContext& ctx = m_pPlatform->ctx;
  ctx.SetSystemKind(m_nSystemKind);
  m_pPlatform->installer.SetWindow(m_hWnd);

  CAppBase* app = AppGetApp();
  if (app != nullptr && !app->m_lpCmdLine.empty()) {
    if (const auto drive = FindUnattendedDrive(app->m_lpCmdLine)) {
      RunUnattendedRestore(*drive);
      EndDialog(IDCANCEL);
    }
  }

  const SystemKindRecord& look = SystemKindFacts(g_nSystemKind);
  m_hIcon = LoadIconA(ResourceModule(), MAKEINTRESOURCEA(look.icon));
  SetWindowTextA(m_hWnd, m_pPlatform->resources.LoadResString(look.title).c_str());

  if (HMENU menu = GetSystemMenu(m_hWnd, FALSE)) {
    const std::string about = m_pPlatform->resources.LoadResString(IDS_ABOUTBOX);
    if (!about.empty()) {
      AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }

  SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

  FillDriveList();
  CDialogBase::OnInitDialog();

  HWND frame = GetDlgItem(IDC_ANIMATION);
  RECT rect{};
  GetClientRect(frame, &rect);
  g_ctlProgressAnimation.Create(WS_CHILD | WS_VISIBLE | ACS_CENTER | ACS_TRANSPARENT, rect, frame, IDC_ANIMATION);
  g_ctlProgressAnimation.Open(ResourceModule(), SystemKindFacts(g_nSystemKind).clip);
  g_ctlProgressAnimation.Play(kStillFrame, kStillFrame, 0);
  return TRUE;
}

void CTessarinDlg::FillDriveList() {
  HWND list = GetDlgItem(IDC_DRIVE_LIST);
  SendMessageA(list, CB_RESETCONTENT, 0, 0);
  int remaining =
      static_cast<int>(SendMessageA(list, CB_DIR, DDL_DRIVES | DDL_EXCLUSIVE, reinterpret_cast<LPARAM>("*.*")));
  for (int i = 0; i < static_cast<int>(SendMessageA(list, CB_GETCOUNT, 0, 0));) {
    char entry[64] = {};
    const LRESULT len = SendMessageA(list, CB_GETLBTEXTLEN, i, 0);
    if (len > 0 && len < static_cast<LRESULT>(sizeof entry))
      SendMessageA(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry));
    const char letter = DriveLetter(entry);
    if (letter != '\0' && IsCardDriveCandidate(letter, m_pPlatform->system)) {
      ++i;
      continue;
    }
    SendMessageA(list, CB_DELETESTRING, i, 0);
    --remaining;
  }
  if (remaining < 0) m_pPlatform->ctx.log.ShowMessageBoxString(IDS_NO_SD_DRIVE, kMbOk | kMbIconExclamation);
}

MsgResult CTessarinDlg::OnSysCommand(WPARAM wParam, LPARAM) {
  if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg about;
    about.DoModal();
    return 0;
  }
  return std::nullopt;
}

MsgResult CTessarinDlg::OnDestroy(WPARAM, LPARAM) {
  g_ctlProgressAnimation.Close();
  // The control's window goes with the dialog's windows.
  g_ctlProgressAnimation.m_hWnd = nullptr;
  return std::nullopt;
}

MsgResult CTessarinDlg::OnPaint(WPARAM, LPARAM) {
  if (!IsIconic(m_hWnd)) return std::nullopt;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(m_hWnd, &ps);
  SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int cxIcon = GetSystemMetrics(SM_CXICON);
  const int cyIcon = GetSystemMetrics(SM_CYICON);
  RECT rect;
  GetClientRect(m_hWnd, &rect);
  const int x = (rect.right - rect.left - cxIcon + 1) / 2;
  const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &ps);
  return 0;
}

MsgResult CTessarinDlg::OnQueryDragIcon(WPARAM, LPARAM) { return reinterpret_cast<LRESULT>(m_hIcon); }

MsgResult CTessarinDlg::OnRestore(WPARAM, LPARAM) {
  if (RestoreRunning()) return 0;
  m_bRestoreRunning = true;
  // A second press must not start a second run before the worker has
  // disabled the controls itself.
  EnableWindow(GetDlgItem(IDC_RESTORE), FALSE);
  m_lstLog.Send(LB_RESETCONTENT);
  m_lstLog.Send(LB_SETHORIZONTALEXTENT, 500);
  if (!BeginWorkerThread(&CTessarinDlg::WorkerEntry, this)) {
    m_bRestoreRunning = false;
    EnableWindow(GetDlgItem(IDC_RESTORE), TRUE);
    m_pPlatform->ctx.log.ShowSystemError(Failure::Win32(FailureKind::Open, GetLastError()));
  }
  return 0;
}

unsigned CTessarinDlg::WorkerEntry(void* param) {
  auto* dlg = static_cast<CTessarinDlg*>(param);
  RestoreWorker(dlg->m_pPlatform->ctx);
  SendMessageA(dlg->m_hWnd, kMsgWorkerEnded, 0, 0);
  return 0;
}

MsgResult CTessarinDlg::OnWorkerEnded(WPARAM, LPARAM) {
  m_bRestoreRunning = false;
  // The focus was on a control that the run disabled: give it back.
  if (GetFocus() == nullptr && GetActiveWindow() == m_hWnd) SetFocus(GetDlgItem(IDC_RESTORE));
  return 0;
}

MsgResult CTessarinDlg::OnExchangeRequest(WPARAM, LPARAM) {
  UpdateData(true);
  return 0;
}

void CTessarinDlg::OnOK() {
  if (RestoreRunning()) {
    MessageBeep(MB_ICONEXCLAMATION);
    return;
  }
  CDialogBase::OnOK();
}

void CTessarinDlg::OnCancel() {
  // The worker uses the dialog until its last step: the dialog stays.
  if (RestoreRunning()) {
    MessageBeep(MB_ICONEXCLAMATION);
    return;
  }
  CDialogBase::OnCancel();
}

void CTessarinDlg::HtmlHelp(DWORD_PTR, UINT) {
  CAppBase* app = AppGetApp();
  LaunchHtmlHelp(m_hWnd, app != nullptr ? app->m_pszHelpFilePath.c_str() : "", kHhDisplayTopic, 0);
}

int CTessarinDlg::ShowMessageBox(const std::string& text, unsigned flags) { return AppMessageBox(text, flags); }

void CTessarinDlg::AddLogLine(const std::string& line) {
  m_lstLog.Send(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
  const LRESULT count = m_lstLog.Send(LB_GETCOUNT);
  m_lstLog.Send(LB_SETTOPINDEX, count - 1);
}

void CTessarinDlg::AddLogLineNoScroll(const std::string& line) {
  m_lstLog.Send(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
}

void CTessarinDlg::StartProgressAnimation() { g_ctlProgressAnimation.Play(0, kLastMovingFrame, -1); }

void CTessarinDlg::StopProgressAnimation() {
  g_ctlProgressAnimation.Stop();
  g_ctlProgressAnimation.Play(kStillFrame, kStillFrame, 0);
  UpdateWindow(m_hWnd);
}

void CTessarinDlg::SetBusy(bool busy) {
  for (int id : {IDC_DRIVE_LIST, IDC_PRESERVE_PROJECT, IDC_RESTORE, kIdExit})
    EnableWindow(GetDlgItem(id), busy ? FALSE : TRUE);
}

DialogValues CTessarinDlg::ExchangeIntoMembers() {
  SendMessageA(m_hWnd, kMsgExchangeIntoMembers, 0, 0);
  return DialogValues{m_strDrive, m_bPreserveProject != 0};
}

void CTessarinDlg::RunUnattendedRestore(std::string drive) {
  m_strDrive = drive;
  ::tessarin::RunUnattendedRestore(m_pPlatform->ctx, m_strDrive);
}

}  // namespace tessarin::ui
