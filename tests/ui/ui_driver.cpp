// Drives the real Tessarin.exe the way an operator does: starts it in a
// prepared working directory, finds its dialog, reads the title, controls
// and the pictures on screen, presses buttons and answers message boxes.
//
// Environment: TS_EXE (the program), TS_WORK (a scratch folder), TS_SHOTS
// (where the screenshot service takes requests; screenshots are skipped
// when unset).
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "res/resource_ids.h"
#include "win32/ui/framework/data_exchange.h"

namespace {

using tessarin::IDC_ABOUT_ICON;
using tessarin::IDC_ANIMATION;
using tessarin::IDC_DRIVE_LIST;
using tessarin::IDC_LOG_LIST;
using tessarin::IDC_PRESERVE_PROJECT;
using tessarin::IDC_RESTORE;
using tessarin::IDM_ABOUTBOX;

using namespace std::chrono_literals;

std::string Env(const char* name) {
  char value[1024] = {};
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 15s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    Sleep(50);
  }
  return condition();
}

std::string ClassOf(HWND hwnd) {
  char name[256] = {};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

// WM_GETTEXT is carried across processes for every window.
std::string TextOf(HWND hwnd) {
  char text[2048] = {};
  SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
  return text;
}

struct WindowSearch {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectDialogOfProcess(HWND hwnd, LPARAM p) {
  auto* s = reinterpret_cast<WindowSearch*>(p);
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  if (owner == s->pid && IsWindowVisible(hwnd) && ClassOf(hwnd) == "#32770") s->found.push_back(hwnd);
  return TRUE;
}

BOOL CALLBACK CollectWindowOfProcess(HWND hwnd, LPARAM p) {
  auto* s = reinterpret_cast<WindowSearch*>(p);
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  if (owner == s->pid && IsWindowVisible(hwnd)) s->found.push_back(hwnd);
  return TRUE;
}

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM p) {
  reinterpret_cast<std::vector<HWND>*>(p)->push_back(hwnd);
  return TRUE;
}

std::vector<HWND> TopWindowsOf(DWORD pid) {
  WindowSearch search{pid, {}};
  EnumWindows(CollectDialogOfProcess, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::vector<HWND> ChildrenOf(HWND parent) {
  std::vector<HWND> found;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&found));
  return found;
}

bool IsMainDialog(HWND hwnd) {
  return GetDlgItem(hwnd, IDC_LOG_LIST) != nullptr && GetDlgItem(hwnd, IDC_DRIVE_LIST) != nullptr;
}
bool IsAboutBox(HWND hwnd) { return GetDlgItem(hwnd, IDC_ABOUT_ICON) != nullptr; }

// A message box as the operator sees it: caption, text, buttons, icon.
struct MessageBoxView {
  HWND hwnd = nullptr;
  std::string caption;
  std::string text;
  bool hasIcon = false;
  std::vector<int> buttons;
};

MessageBoxView ReadMessageBox(HWND hwnd) {
  MessageBoxView box;
  box.hwnd = hwnd;
  box.caption = TextOf(hwnd);
  for (HWND child : ChildrenOf(hwnd)) {
    const std::string cls = ClassOf(child);
    const LONG style = GetWindowLongA(child, GWL_STYLE);
    if (cls == "Static" && (style & SS_TYPEMASK) == SS_ICON)
      box.hasIcon = IsWindowVisible(child);
    else if (cls == "Static") {
      const std::string t = TextOf(child);
      if (t.size() > box.text.size()) box.text = t;
    } else if (cls == "Button" && IsWindowVisible(child)) {
      box.buttons.push_back(GetDlgCtrlID(child));
    }
  }
  return box;
}

class Program {
 public:
  // Starts the program in workDir with the given arguments.
  Program(const std::string& workDir, const std::string& arguments = "") {
    const std::string exe = Env("TS_EXE");
    std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, workDir.c_str(), &si,
                        &pi_)) {
      ADD_FAILURE() << "cannot start " << exe << ": error " << GetLastError();
      return;
    }
    WaitForInputIdle(pi_.hProcess, 10000);
  }
  ~Program() {
    if (pi_.hProcess != nullptr) {
      if (!Ended(0ms)) {
        for (HWND w : TopWindowsOf(pi_.dwProcessId)) PostMessageA(w, WM_COMMAND, IDCANCEL, 0);
        if (!Ended(5s)) TerminateProcess(pi_.hProcess, 1);
      }
      CloseHandle(pi_.hProcess);
      CloseHandle(pi_.hThread);
    }
  }
  bool Ended(std::chrono::milliseconds timeout) const {
    return WaitForSingleObject(pi_.hProcess, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
  }

  HWND WaitForWindow(const std::function<bool(HWND)>& which, std::chrono::milliseconds timeout = 20s) const {
    HWND found = nullptr;
    WaitFor(
        [&] {
          for (HWND w : TopWindowsOf(pi_.dwProcessId))
            if (which(w)) {
              found = w;
              return true;
            }
          return false;
        },
        timeout);
    return found;
  }
  HWND MainDialog() const { return WaitForWindow(IsMainDialog); }
  // Any visible top-level window of the program with that title.
  HWND WaitForTitle(const std::string& title, std::chrono::milliseconds timeout = 20s) const {
    HWND found = nullptr;
    WaitFor(
        [&] {
          WindowSearch search{pi_.dwProcessId, {}};
          EnumWindows(CollectWindowOfProcess, reinterpret_cast<LPARAM>(&search));
          for (HWND w : search.found)
            if (TextOf(w) == title) found = w;
          return found != nullptr;
        },
        timeout);
    return found;
  }
  MessageBoxView WaitForMessageBox(std::chrono::milliseconds timeout = 20s) const {
    HWND box = WaitForWindow([](HWND w) { return !IsMainDialog(w) && !IsAboutBox(w); }, timeout);
    return box != nullptr ? ReadMessageBox(box) : MessageBoxView{};
  }

 private:
  PROCESS_INFORMATION pi_{};
};

// Answers a message box with one of its buttons and waits until it is gone.
void Answer(const MessageBoxView& box, int button) {
  PostMessageA(box.hwnd, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
  WaitFor([&] { return !IsWindow(box.hwnd); }, 10s);
}

void Press(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// An entry of a list or combo box of another process, read as Unicode:
// Wine carries these messages across processes in their Unicode form only.
std::string ListText(HWND control, UINT message, LRESULT index) {
  wchar_t wide[512] = {};
  SendMessageW(control, message, index, reinterpret_cast<LPARAM>(wide));
  char text[1024] = {};
  WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  return text;
}

std::vector<std::string> ComboEntries(HWND combo) {
  std::vector<std::string> entries;
  const LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) entries.push_back(ListText(combo, CB_GETLBTEXT, i));
  return entries;
}

std::vector<std::string> LogLines(HWND dialog) {
  HWND list = GetDlgItem(dialog, IDC_LOG_LIST);
  std::vector<std::string> lines;
  const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) lines.push_back(ListText(list, LB_GETTEXT, i));
  return lines;
}

// A log line without its time stamp: the message starts at the first "::".
std::string Message(const std::string& line) {
  const std::size_t at = line.find("::");
  return at == std::string::npos ? line : line.substr(at);
}

std::vector<bool> ControlsEnabled(HWND dialog) {
  std::vector<bool> state;
  for (int id : {IDC_DRIVE_LIST, IDC_PRESERVE_PROJECT, IDC_RESTORE, IDOK})
    state.push_back(IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE);
  return state;
}

// ---- what is on screen -------------------------------------------------

struct Pixels {
  int w = 0, h = 0;
  std::vector<COLORREF> px;
};

Pixels Capture(const RECT& r) {
  Pixels p;
  p.w = r.right - r.left;
  p.h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader = {sizeof(BITMAPINFOHEADER), p.w, -p.h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, p.w, p.h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const auto* src = static_cast<const std::uint8_t*>(bits);
  for (int i = 0; i < p.w * p.h; ++i) p.px.push_back(RGB(src[i * 4 + 2], src[i * 4 + 1], src[i * 4]));
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return p;
}

RECT ScreenRectOf(HWND hwnd) {
  RECT r{};
  GetWindowRect(hwnd, &r);
  return r;
}

// The card pictures differ by system kind: an orange label (Windows CE), a
// blue card (DOS) or neither (ROM-DOS, a slate card with a green label).
enum class Card { WinCE, Dos, RomDos };

Card ClassifyCard(const Pixels& p) {
  int orange = 0, blue = 0;
  for (COLORREF c : p.px) {
    const int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
    if (r > 200 && g > 100 && g < 165 && b < 80 && r - g > 70) ++orange;
    if (b > 150 && r < 80 && b - r > 100) ++blue;
  }
  if (orange >= 6) return Card::WinCE;
  if (blue >= 6) return Card::Dos;
  return Card::RomDos;
}

std::string Name(Card c) { return c == Card::WinCE ? "Windows CE" : c == Card::Dos ? "DOS" : "ROM-DOS"; }

// The small icon Wine draws at the left of a window's caption.
Card CaptionIcon(HWND hwnd) {
  RECT r = ScreenRectOf(hwnd);
  const int caption = GetSystemMetrics(SM_CYCAPTION);
  RECT icon{r.left, r.top, r.left + caption + 6, r.top + caption + 6};
  return ClassifyCard(Capture(icon));
}

// The right end of the animation, where the clip's card is.
Card ClipCard(HWND dialog) {
  RECT r = ScreenRectOf(GetDlgItem(dialog, IDC_ANIMATION));
  r.left = r.right - (r.right - r.left) / 4;
  return ClassifyCard(Capture(r));
}

// The picture beside the text of the About box.
Card AboutIcon(HWND about) { return ClassifyCard(Capture(ScreenRectOf(GetDlgItem(about, IDC_ABOUT_ICON)))); }

// Asks the screenshot service of the suite for a picture of a window.
void Screenshot(const std::string& name, HWND hwnd) {
  const std::string dir = Env("TS_SHOTS");
  if (dir.empty()) return;
  // Without a window manager, Wine leaves a window that another process
  // started with an inactive caption: draw it as the operator sees the
  // window that has the focus.
  const RECT r = ScreenRectOf(hwnd);
  SetForegroundWindow(hwnd);
  SendMessageTimeoutA(hwnd, WM_NCACTIVATE, TRUE, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
  Sleep(400);  // let the window finish painting
  const std::string request = dir + "\\" + name + ".request";
  const std::string done = dir + "\\" + name + ".done";
  DeleteFileA(done.c_str());
  {
    std::ofstream out(request + ".tmp");
    out << (r.right - r.left) << 'x' << (r.bottom - r.top) << '+' << r.left << '+' << r.top << '\n';
  }
  MoveFileA((request + ".tmp").c_str(), request.c_str());
  WaitFor([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, 15s);
}

// ---- working directories -----------------------------------------------

std::string FreshWorkDir(const std::string& name, const std::vector<std::string>& files,
                         const std::vector<std::string>& folders = {}) {
  const std::string dir = Env("TS_WORK") + "\\" + name;
  CreateDirectoryA(Env("TS_WORK").c_str(), nullptr);
  CreateDirectoryA(dir.c_str(), nullptr);
  for (const std::string& f : files) std::ofstream(dir + "\\" + f) << "archive";
  for (const std::string& f : folders) CreateDirectoryA((dir + "\\" + f).c_str(), nullptr);
  return dir;
}

// ---- the cases -----------------------------------------------------------

struct KindCase {
  const char* name;
  std::vector<std::string> files;
  std::vector<std::string> folders;
  const char* title;
  Card card;
  const char* shot;  // screenshot name, or none
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

class SystemKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(SystemKindTest, TitleIconAndClipFollowTheArchive) {
  const KindCase& c = GetParam();
  Program program(FreshWorkDir(std::string("kind_") + c.name, c.files, c.folders));
  HWND dlg = program.MainDialog();
  ASSERT_NE(dlg, nullptr);
  EXPECT_EQ(TextOf(dlg), c.title);
  Sleep(500);
  EXPECT_EQ(Name(CaptionIcon(dlg)), Name(c.card)) << "window icon";
  EXPECT_EQ(Name(ClipCard(dlg)), Name(c.card)) << "clip";
  if (c.shot != nullptr) Screenshot(c.shot, dlg);
  Press(dlg, IDOK);
  EXPECT_TRUE(program.Ended(10s)) << "Exit ends the program";
}

INSTANTIATE_TEST_SUITE_P(
    Archives, SystemKindTest,
    ::testing::Values(
        KindCase{"none", {}, {}, "Tessarin Utility", Card::WinCE, nullptr},
        KindCase{"wince", {"wincesys.exe"}, {}, "Tessarin Utility", Card::WinCE, "main_wince"},
        KindCase{"dos", {"dossys.exe", "wincesys.exe"}, {}, "Tessarin Utility", Card::Dos, "main_dos"},
        KindCase{
            "romdos", {"romdossys.exe", "dossys.exe"}, {}, "Tessarin Utility - Vantorels", Card::RomDos, "main_romdos"},
        KindCase{"dosfolder", {}, {"dossys.exe"}, "Tessarin Utility", Card::Dos, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// The drive table of the suite: C: the system, D: a CD, E: removable, F: a
// second fixed disk, G: a network drive, Z: (Wine's view of the build
// machine) a network drive too.
TEST(DriveList, ShowsOnlyRemovableAndFixedDrivesOtherThanTheSystemDrive) {
  Program program(FreshWorkDir("drives", {}));
  HWND dlg = program.MainDialog();
  ASSERT_NE(dlg, nullptr);
  EXPECT_EQ(ComboEntries(GetDlgItem(dlg, IDC_DRIVE_LIST)), (std::vector<std::string>{"[-e-]", "[-f-]"}));
  EXPECT_EQ(BST_CHECKED, SendMessageA(GetDlgItem(dlg, IDC_PRESERVE_PROJECT), BM_GETCHECK, 0, 0));
}

TEST(AboutBox, RepeatsTheWindowTitleAndIcon) {
  Program program(FreshWorkDir("about", {"romdossys.exe"}));
  HWND dlg = program.MainDialog();
  ASSERT_NE(dlg, nullptr);
  // Only the high twelve bits of the command select the About item.
  for (WPARAM command : {IDM_ABOUTBOX, IDM_ABOUTBOX | 0xFu}) {
    PostMessageA(dlg, WM_SYSCOMMAND, command, 0);
    HWND about = program.WaitForWindow(IsAboutBox);
    ASSERT_NE(about, nullptr) << "command " << command;
    EXPECT_EQ(TextOf(about), "About Tessarin Utility - Vantorels");
    Sleep(300);
    EXPECT_EQ(Name(AboutIcon(about)), Name(Card::RomDos));
    if (command == IDM_ABOUTBOX) Screenshot("about_romdos", about);
    PostMessageA(about, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(about); }));
  }
}

TEST(AboutBox, ShowsTheWindowsCeIcon) {
  Program program(FreshWorkDir("about_wince", {}));
  HWND dlg = program.MainDialog();
  ASSERT_NE(dlg, nullptr);
  PostMessageA(dlg, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  HWND about = program.WaitForWindow(IsAboutBox);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(TextOf(about), "About Tessarin Utility");
  Sleep(300);
  EXPECT_EQ(Name(AboutIcon(about)), Name(Card::WinCE));
  Screenshot("about_wince", about);
  PostMessageA(about, WM_COMMAND, IDCANCEL, 0);
}

// F1 in the main dialog and in the About box opens the help file beside the
// executable at its first page.
TEST(Help, F1OpensTheHelpFileFromTheDialogAndTheAboutBox) {
  Program program(FreshWorkDir("help", {}));
  HWND dlg = program.MainDialog();
  ASSERT_NE(dlg, nullptr);
  PostMessageA(GetDlgItem(dlg, IDC_DRIVE_LIST), WM_KEYDOWN, VK_F1, 0x003B0001);
  HWND help = program.WaitForTitle("Tessarin Utility Help");
  ASSERT_NE(help, nullptr) << "help window";
  PostMessageA(help, WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(help); }));

  PostMessageA(dlg, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  HWND about = program.WaitForWindow(IsAboutBox);
  ASSERT_NE(about, nullptr);
  PostMessageA(GetDlgItem(about, IDOK), WM_KEYDOWN, VK_F1, 0x003B0001);
  help = program.WaitForTitle("Tessarin Utility Help");
  EXPECT_NE(help, nullptr) << "help window from the About box";
  if (help != nullptr) PostMessageA(help, WM_CLOSE, 0, 0);
  PostMessageA(about, WM_COMMAND, IDOK, 0);
}

TEST(Restore, WithoutADriveOnlyAsksForOne) {
  Program program(FreshWorkDir("nodrive", {}));
  HWND dlg = program.MainDialog();
  ASSERT_NE(dlg, nullptr);
  SendMessageA(GetDlgItem(dlg, IDC_DRIVE_LIST), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  Press(dlg, IDC_RESTORE);
  const MessageBoxView box = program.WaitForMessageBox();
  ASSERT_NE(box.hwnd, nullptr);
  EXPECT_EQ(box.caption, "Tessarin");
  EXPECT_EQ(box.text, "You must specify a destination drive.");
  EXPECT_TRUE(box.hasIcon);
  EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
  Answer(box, IDOK);
  EXPECT_TRUE(WaitFor([&] { return ControlsEnabled(dlg) == std::vector<bool>(4, true); }));
  EXPECT_TRUE(LogLines(dlg).empty());
}

TEST(Restore, AnsweringNoChangesNothingAndTheDialogStaysWhileAsking) {
  Program program(FreshWorkDir("answer_no", {}));
  HWND dlg = program.MainDialog();
  ASSERT_NE(dlg, nullptr);
  SendMessageA(GetDlgItem(dlg, IDC_DRIVE_LIST), CB_SETCURSEL, 0, 0);  // [-e-]
  Press(dlg, IDC_RESTORE);
  Press(dlg, IDC_RESTORE);  // a second press before the run has disabled the controls
  const MessageBoxView box = program.WaitForMessageBox();
  ASSERT_NE(box.hwnd, nullptr);
  EXPECT_EQ(box.caption, "Tessarin");
  EXPECT_EQ(box.text,
            "All existing files will be deleted!\n\nAre you sure you want to restore the\n"
            "system to the SD CARD in drive e:?");
  EXPECT_TRUE(box.hasIcon);
  EXPECT_EQ(box.buttons, (std::vector<int>{IDYES, IDNO}));
  EXPECT_EQ(ControlsEnabled(dlg), std::vector<bool>(4, false)) << "disabled while the run goes on";

  // A close request while the run is going on is refused.
  PostMessageA(dlg, WM_CLOSE, 0, 0);
  PostMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
  Sleep(500);
  EXPECT_TRUE(IsWindow(dlg));
  EXPECT_FALSE(program.Ended(0ms));

  Answer(box, IDNO);
  EXPECT_TRUE(WaitFor([&] { return ControlsEnabled(dlg) == std::vector<bool>(4, true); }));
  EXPECT_TRUE(LogLines(dlg).empty());
  EXPECT_EQ(program.WaitForMessageBox(1500ms).hwnd, nullptr) << "the second press started no second run";
  Press(dlg, IDOK);
  EXPECT_TRUE(program.Ended(10s));
}

// Under Wine the card's volume opens but names no disk, so the acquisition
// stops with its own box, then the sequence's.
TEST(Restore, FailingAtTheVolumeReportsAndLogsInOrder) {
  Program program(FreshWorkDir("volume", {}));
  HWND dlg = program.MainDialog();
  ASSERT_NE(dlg, nullptr);
  SendMessageA(GetDlgItem(dlg, IDC_DRIVE_LIST), CB_SETCURSEL, 0, 0);  // [-e-], no project folder on it
  Press(dlg, IDC_RESTORE);
  MessageBoxView box = program.WaitForMessageBox();
  ASSERT_NE(box.hwnd, nullptr);
  ASSERT_EQ(box.buttons, (std::vector<int>{IDYES, IDNO}));
  Answer(box, IDYES);

  box = program.WaitForMessageBox();
  ASSERT_NE(box.hwnd, nullptr);
  EXPECT_EQ(box.text, "Retrieving Drive DiskExtents failed.");
  EXPECT_EQ(ControlsEnabled(dlg), std::vector<bool>(4, false));
  Answer(box, IDOK);

  box = program.WaitForMessageBox();
  ASSERT_NE(box.hwnd, nullptr);
  EXPECT_EQ(box.caption, "Tessarin");
  EXPECT_EQ(box.text, "Failed to Lock the Volume.");
  EXPECT_TRUE(box.hasIcon);
  Screenshot("restore_failed", dlg);
  Answer(box, IDOK);

  EXPECT_TRUE(WaitFor([&] { return ControlsEnabled(dlg) == std::vector<bool>(4, true); }));
  std::vector<std::string> messages;
  for (const std::string& line : LogLines(dlg)) messages.push_back(Message(line));
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "::Info:: Backing up Project Folder.",
                          "::Warning:: No Project Folder found on drive.",
                          "::Info:: Forcing Lock on Volume.",
                          "::Error:: Failed to Lock the Volume. Try removing reinserting drive and try again.",
                      }));
  for (const std::string& line : LogLines(dlg)) EXPECT_GT(line.find("::"), 0u) << "time stamp first: " << line;
}

// The drive named on the command line is never one that could be formatted
// here, so the runs stop at their first check; the window still closes
// without the operator.
TEST(Unattended, DriveOnTheCommandLineClosesTheWindowByItself) {
  struct Case {
    const char* arguments;
    const char* text;
  };
  for (const Case& c : {Case{"/quiet /drive:g", "Drive G: cannot be restored."},  // a network drive
                        Case{"/DRIVE:", "You must specify a destination drive."}}) {
    SCOPED_TRACE(c.arguments);
    Program program(FreshWorkDir("unattended", {}), c.arguments);
    const MessageBoxView box = program.WaitForMessageBox();
    ASSERT_NE(box.hwnd, nullptr);
    EXPECT_EQ(box.caption, "Tessarin");
    EXPECT_EQ(box.text.substr(0, std::strlen(c.text)), c.text);
    Answer(box, IDOK);
    EXPECT_TRUE(program.Ended(15s));
  }
}

// Run with a drive table that has no drive for a card.
TEST(NoCardDrive, SaysSoAndKeepsAnEmptyList) {
  Program program(FreshWorkDir("nocard", {}));
  const MessageBoxView box = program.WaitForMessageBox();
  ASSERT_NE(box.hwnd, nullptr);
  EXPECT_EQ(box.caption, "Tessarin");
  EXPECT_EQ(box.text, "No SD drive found.");
  EXPECT_TRUE(box.hasIcon);
  Answer(box, IDOK);
  HWND dlg = program.MainDialog();
  ASSERT_NE(dlg, nullptr);
  EXPECT_TRUE(ComboEntries(GetDlgItem(dlg, IDC_DRIVE_LIST)).empty());
  Press(dlg, IDOK);
  EXPECT_TRUE(program.Ended(10s));
}

// ---- the framework's data exchange, on controls of this process ---------

class DataExchange : public ::testing::Test {
 protected:
  // The controls of a parent window of this test: a drop-down list, an
  // editable combo box and a check box.
  static constexpr int kList = 11, kEdit = 12, kCheck = 13;

  void SetUp() override {
    parent_ = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 200, 200, nullptr, nullptr, nullptr, nullptr);
    list_ = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | CBS_DROPDOWNLIST | CBS_SORT, 0, 0, 80, 100, parent_,
                            reinterpret_cast<HMENU>(kList), nullptr, nullptr);
    edit_ = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | CBS_DROPDOWN, 0, 0, 80, 100, parent_,
                            reinterpret_cast<HMENU>(kEdit), nullptr, nullptr);
    check_ = CreateWindowExA(0, "BUTTON", "", WS_CHILD | BS_AUTOCHECKBOX, 0, 0, 80, 20, parent_,
                             reinterpret_cast<HMENU>(kCheck), nullptr, nullptr);
    for (const char* drive : {"[-f-]", "[-e-]", "[-h-]"})
      SendMessageA(list_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(drive));
  }
  void TearDown() override { DestroyWindow(parent_); }

  HWND parent_ = nullptr, list_ = nullptr, edit_ = nullptr, check_ = nullptr;
};

TEST_F(DataExchange, DriveTextBothWays) {
  using tessarin::ui::CDataExchange;
  // Into the control: the first entry that starts with the text, in any case.
  std::string drive = "[-F-]";
  CDataExchange toControl(parent_, false);
  tessarin::ui::DDX_CBString(toControl, kList, drive);
  EXPECT_EQ(SendMessageA(list_, CB_GETCURSEL, 0, 0), 1);

  // Into the member: the selected entry, or empty when none is.
  CDataExchange toMember(parent_, true);
  SendMessageA(list_, CB_SETCURSEL, 2, 0);
  tessarin::ui::DDX_CBString(toMember, kList, drive);
  EXPECT_EQ(drive, "[-h-]");
  SendMessageA(list_, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  tessarin::ui::DDX_CBString(toMember, kList, drive);
  EXPECT_EQ(drive, "");
  EXPECT_FALSE(toMember.Failed());
}

TEST_F(DataExchange, LengthLimitFailsALongerTextAndLimitsTheControl) {
  using tessarin::ui::CDataExchange;
  struct Case {
    const char* text;
    bool fails;
  };
  for (const Case& c : {Case{"[-e-]", false}, Case{"abcdef", false}, Case{"abcdefg", true}}) {
    SetWindowTextA(edit_, c.text);
    std::string value;
    CDataExchange dx(parent_, true);
    tessarin::ui::DDX_CBString(dx, kEdit, value);
    tessarin::ui::DDV_MaxChars(dx, value, 6);
    EXPECT_EQ(value, c.text);
    EXPECT_EQ(dx.Failed(), c.fails) << c.text;
  }
  std::string value = "";
  CDataExchange dx(parent_, false);
  tessarin::ui::DDX_CBString(dx, kEdit, value);
  tessarin::ui::DDV_MaxChars(dx, value, 6);
  EXPECT_EQ(SendMessageA(GetWindow(edit_, GW_CHILD), EM_GETLIMITTEXT, 0, 0), 6);
}

TEST_F(DataExchange, CheckBoxAndControlAttachment) {
  using tessarin::ui::CDataExchange;
  int preserve = 1;
  CDataExchange toControl(parent_, false);
  tessarin::ui::DDX_Check(toControl, kCheck, preserve);
  EXPECT_EQ(SendMessageA(check_, BM_GETCHECK, 0, 0), BST_CHECKED);
  SendMessageA(check_, BM_SETCHECK, BST_UNCHECKED, 0);
  CDataExchange toMember(parent_, true);
  tessarin::ui::DDX_Check(toMember, kCheck, preserve);
  EXPECT_EQ(preserve, 0);

  tessarin::ui::CControl log;
  tessarin::ui::DDX_Control(toControl, kCheck, log);
  EXPECT_EQ(log.m_hWnd, check_);
  tessarin::ui::DDX_Control(toControl, kList, log);
  EXPECT_EQ(log.m_hWnd, check_) << "attached on the first exchange only";
}

}  // namespace
