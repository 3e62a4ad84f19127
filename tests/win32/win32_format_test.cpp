// The FORMAT driver against a stand-in for FORMAT put where the system's
// own lies: how it is started, how its window is found, how many Enter
// keys it gets and how its end is judged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "test_helpers.h"
#include "win32/card/format_card.h"

namespace tessarin::test {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

class Format : public ::testing::Test {
 protected:
  ScratchFolder work{"format"};
  std::string log = work / "format.log";
  ScopedEnv logEnv{"TESSARIN_FORMAT_LOG", log};
  std::string program;

  void SetUp() override {
    const auto path = Win32Format::FormatProgramPath();
    ASSERT_TRUE(path.has_value());
    program = *path;
    const std::string stand_in = ProgramFolder() + "\\format_double.exe";
    ASSERT_TRUE(CopyFileA(stand_in.c_str(), program.c_str(), FALSE)) << program;
    // A FORMAT planted in the working directory must never be the one run.
    for (const char* planted : {"format.com", "FORMAT.EXE", "format.bat"}) {
      ASSERT_TRUE(CopyFileA(stand_in.c_str(), (work / planted).c_str(), FALSE));
    }
  }
  void TearDown() override {
    // A stand-in left running by a failed case would hold the suite up.
    for (DWORD id : started) EndProcess(id);
    DeleteFileA(program.c_str());
  }

  bool Run(Win32Format& format, const std::string& drive) {
    const bool result = format.FormatCard(drive);
    if (format.LastRun().started) started.push_back(format.LastRun().processId);
    return result;
  }

  // The program's path as the started program sees it: under WoW64 the
  // system directory of a 32-bit program is redirected.
  bool IsSystemFormat(const std::string& exe) {
    if (Lower(exe) == Lower(program)) return true;
    char wow64[MAX_PATH] = {};
    const UINT n = GetSystemWow64DirectoryA(wow64, sizeof wow64);
    return n > 0 && n < sizeof wow64 && Lower(exe) == Lower(std::string(wow64) + "\\format.com");
  }

  std::vector<DWORD> started;

  std::vector<std::string> Logged(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : ReadLines(log)) {
      if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
    }
    return found;
  }

  static void EndProcess(DWORD id) {
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (process == nullptr) return;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
  }
};

TEST_F(Format, RunsTheSystemsFormatHiddenWithTheUpperCaseLetter) {
  ScopedCurrentDirectory cd(work.path());
  ScopedEnv mode("TESSARIN_FORMAT_MODE", "enters:1:0");
  Win32Format format(FormatTimings{30, 20, 30, 300});
  EXPECT_TRUE(Run(format, "[-e-]"));

  ASSERT_EQ(Logged("exe=").size(), 1u) << "started once";
  EXPECT_TRUE(IsSystemFormat(Logged("exe=")[0])) << Logged("exe=")[0];
  const std::string cmd = Logged("cmd=")[0];
  const std::string parameters = " E: /FS:FAT32 /Q /V:QV /X";
  ASSERT_GE(cmd.size(), parameters.size());
  EXPECT_EQ(cmd.substr(cmd.size() - parameters.size()), parameters) << cmd;
  EXPECT_EQ(Logged("show="), std::vector<std::string>{"0"});  // SW_HIDE
  EXPECT_EQ(Win32Format::FormatParameters("[-e-]"), "E: /FS:FAT32 /Q /V:QV /X");
}

TEST_F(Format, JudgesFormatByItsEndAndItsExitCode) {
  struct Case {
    const char* name;
    const char* mode;
    FormatTimings timings;
    bool result;
    bool windowFound;
    unsigned enters;
    bool ended;
    DWORD exitCode;
  } cases[] = {
      // Ends within the first wait: no Enter at all.
      {"ends at once", "enters:0:0", {30, 20, 30, 5000}, true, true, 0, true, 0},
      {"ends after three Enters", "enters:3:0", {30, 20, 30, 300}, true, true, 3, true, 0},
      // A FORMAT that failed has not formatted the card.
      {"ends with an error", "enters:2:4", {30, 20, 30, 300}, false, true, 2, true, 4},
      {"ends at once with an error", "enters:0:1", {30, 20, 30, 5000}, false, true, 0, true, 1},
      // Gone before its window was seen.
      {"ends before a window is found", "exit:0", {5, 200, 30, 300}, false, false, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteFileA(log.c_str());
    ScopedEnv mode("TESSARIN_FORMAT_MODE", c.mode);
    Win32Format format(c.timings);
    EXPECT_EQ(Run(format, "[-q-]"), c.result);
    const FormatRun& run = format.LastRun();
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.windowFound, c.windowFound);
    EXPECT_EQ(run.entersPosted, c.enters);
    EXPECT_EQ(run.ended, c.ended);
    if (c.ended) {
      EXPECT_EQ(run.exitCode, c.exitCode);
    }
    EXPECT_EQ(Logged("enter ").size(), c.enters);
  }
}

TEST_F(Format, GivesUpAfterThirtyEntersAndLeavesFormatRunning) {
  ScopedEnv mode("TESSARIN_FORMAT_MODE", "never");
  Win32Format format(FormatTimings{30, 20, 30, 50});
  EXPECT_FALSE(Run(format, "[-q-]"));
  const FormatRun run = format.LastRun();
  EXPECT_EQ(run.entersPosted, 30u);
  EXPECT_FALSE(run.ended);

  const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, run.processId);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(WaitForSingleObject(process, 300), static_cast<DWORD>(WAIT_TIMEOUT)) << "still running";
  // The last Enter was posted without a wait after it: every one arrived.
  EXPECT_EQ(Logged("enter ").size(), 30u);
  TerminateProcess(process, 0);
  WaitForSingleObject(process, 5000);
  CloseHandle(process);
}

TEST_F(Format, FailsWithoutFormat) {
  DeleteFileA(program.c_str());
  ScopedCurrentDirectory cd(work.path());
  ScopedEnv mode("TESSARIN_FORMAT_MODE", "enters:0:0");
  Win32Format format(FormatTimings{3, 20, 30, 100});
  EXPECT_FALSE(Run(format, "[-q-]"));
  EXPECT_FALSE(format.LastRun().started);
  EXPECT_TRUE(Logged("exe=").empty()) << "a planted FORMAT ran: " << Logged("exe=")[0];
}

TEST(FindFormatWindow, StopsAtTheFirstWindowOfTheProcess) {
  const HWND window = CreateWindowA("STATIC", "mine", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  FormatWindowSearch search;
  search.processId = GetCurrentProcessId();
  EXPECT_EQ(FindFormatWindow(window, reinterpret_cast<LPARAM>(&search)), FALSE);
  EXPECT_EQ(search.window, window);

  FormatWindowSearch other;
  other.processId = GetCurrentProcessId() + 4;
  EXPECT_EQ(FindFormatWindow(window, reinterpret_cast<LPARAM>(&other)), TRUE);
  EXPECT_EQ(other.window, nullptr);
  DestroyWindow(window);
}

}  // namespace
}  // namespace tessarin::test
