// The installer started as the system's CreateProcessA starts it, and its
// end judged by its exit code; then the whole firmware step on the test
// drive.
#include "win32/install/win32_installer.h"

#include <gtest/gtest.h>

#include "install/firmware.h"
#include "res/string_table.h"
#include "test_helpers.h"
#include "win32_world.h"

namespace tessarin::test {
namespace {

// The archives lie in the working directory; the test drive's folder is the
// card.
class Installer : public ::testing::Test {
 protected:
  ScratchFolder work{"installer"};
  std::string card = std::string(1, kTestDriveLetter) + ":\\";
  std::string log = work / "installer.log";
  ScopedEnv logEnv{"TESSARIN_INSTALLER_LOG", log};

  void SetUp() override {
    ASSERT_TRUE(IsDirectory(card)) << "the suite's fixture makes drive " << kTestDriveLetter;
    ClearCard();
    for (const char* archive : {"romdossys.exe", "dossys.exe", "wincesys.exe"}) {
      ASSERT_TRUE(CopyFileA((ProgramFolder() + "\\test_installer.exe").c_str(), (work / archive).c_str(), FALSE));
    }
  }
  void TearDown() override { ClearCard(); }
  void ClearCard() {
    for (const char* name : {"IBMBIO.COM", "IBMDOS.COM", "io.sys", "msdos.sys", "drvspace.bin", "BLDR"}) {
      RemoveTree(card + name);
    }
  }
  std::string Logged(const std::string& key) {
    for (const std::string& line : ReadLines(log)) {
      if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    }
    return "<none>";
  }
};

TEST_F(Installer, StartsTheArchiveOfTheKindHiddenInTheCurrentDirectory) {
  const char lower = static_cast<char>(kTestDriveLetter - 'A' + 'a');
  struct Case {
    int kind;
    char letter;
    const char* archive;
    std::string commandLine;
  } cases[] = {
      {1, kTestDriveLetter, "romdossys.exe", std::string("romdossys.exe -auto ") + kTestDriveLetter + ":\\"},
      {2, lower, "dossys.exe", std::string("dossys.exe -auto ") + lower + ":\\"},
      {3, lower, "wincesys.exe", std::string("wincesys.exe -y -o") + lower + ":\\"},
      {7, kTestDriveLetter, "dossys.exe", std::string("dossys.exe -auto ") + kTestDriveLetter + ":\\"},
  };
  ScopedCurrentDirectory cd(work.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    DeleteFileA(log.c_str());
    Win32Installer installer;
    const InstallerOutcome outcome =
        installer.RunInstaller(InstallerCommandFor(static_cast<SystemKind>(c.kind), c.letter, '\\'));
    ASSERT_TRUE(outcome.started);
    EXPECT_EQ(outcome.exitCode, 0u);
    EXPECT_EQ(Logged("cmd"), c.commandLine);
    EXPECT_EQ(Logged("exe"), work / c.archive);
    EXPECT_EQ(Logged("cwd"), work.path());
    EXPECT_EQ(Logged("show"), "1,0");  // STARTF_USESHOWWINDOW, SW_HIDE
  }
}

TEST_F(Installer, WaitsForTheEndAndReportsEveryExitCode) {
  ScopedCurrentDirectory cd(work.path());
  struct Case {
    const char* exit;
    const char* delayMs;
    std::uint32_t expect;
  } cases[] = {
      {"0", "400", 0},
      {"1", "0", 1},
      // The value that means "still running" to an exit-code poll.
      {"259", "0", 259},
      {"259", "300", 259},
      {"4294967295", "0", 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("exit ") + c.exit + " after " + c.delayMs + " ms");
    DeleteFileA(log.c_str());
    ScopedEnv exitCode("TESSARIN_INSTALLER_EXIT", c.exit);
    ScopedEnv delay("TESSARIN_INSTALLER_DELAY_MS", c.delayMs);
    Win32Installer installer(nullptr, 50);
    const InstallerOutcome outcome = installer.RunInstaller(InstallerCommandFor(SystemKind::WinCE, 'q', '\\'));
    ASSERT_TRUE(outcome.started);
    EXPECT_EQ(outcome.exitCode, c.expect);
    // It had ended before the outcome came back.
    ASSERT_FALSE(ReadLines(log).empty());
    EXPECT_EQ(ReadLines(log).back(), "end");
  }
}

TEST_F(Installer, AMissingArchiveIsNotStarted) {
  ScopedCurrentDirectory cd(work.path());
  DeleteFileA((work / "wincesys.exe").c_str());
  Win32Installer installer;
  const InstallerOutcome outcome = installer.RunInstaller(InstallerCommandFor(SystemKind::WinCE, 'q', '\\'));
  EXPECT_FALSE(outcome.started);
  EXPECT_EQ(outcome.error, Failure::Win32(FailureKind::Open, ERROR_FILE_NOT_FOUND));
}

TEST_F(Installer, FirmwareStepMarksTheSystemFilesOnlyAfterSuccess) {
  ScopedCurrentDirectory cd(work.path());
  const std::string drive = MakeDriveEntry(static_cast<char>(kTestDriveLetter - 'A' + 'a'));
  struct Case {
    int kind;
    const char* files;  // what the installer leaves on the card
    const char* exit;
    int result;
    std::vector<std::string> marked;
    std::vector<std::string> unmarked;
    bool box110;
  } cases[] = {
      {3, "BLDR;NK.BIN", "0", 0, {"BLDR"}, {"NK.BIN"}, false},
      {1, "IBMBIO.COM", "0", 0, {"IBMBIO.COM"}, {}, false},  // IBMDOS.COM missing: passed over
      {2, "io.sys;msdos.sys;drvspace.bin", "0", 0, {"io.sys", "msdos.sys", "drvspace.bin"}, {}, false},
      {3, "BLDR", "1", -1, {}, {"BLDR"}, true},
      {3, "BLDR", "259", -1, {}, {"BLDR"}, true},
  };
  const SystemKind savedKind = g_nSystemKind;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("kind ") + std::to_string(c.kind) + " exit " + c.exit);
    ClearCard();
    RemoveTree(card + "NK.BIN");
    ScopedEnv files("TESSARIN_INSTALLER_FILES", c.files);
    ScopedEnv exitCode("TESSARIN_INSTALLER_EXIT", c.exit);
    Win32World world;
    g_nSystemKind = static_cast<SystemKind>(c.kind);
    EXPECT_EQ(InstallFirmware(world.installer, world.files, world.ctx.log, g_nSystemKind, drive), c.result);
    for (const std::string& name : c.marked) EXPECT_EQ(GetFileAttributesA((card + name).c_str()), 0x27u) << name;
    for (const std::string& name : c.unmarked) {
      const DWORD attributes = GetFileAttributesA((card + name).c_str());
      ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << name;
      EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY), 0u) << name;
    }
    if (c.box110) {
      ASSERT_EQ(world.ui.boxes.size(), 1u);
      EXPECT_EQ(world.ui.boxes[0].text, "Error returned from WinZip while decompressing files.");
      EXPECT_EQ(world.ui.boxes[0].flags, 0x30u);
    } else {
      EXPECT_TRUE(world.ui.boxes.empty());
    }
  }
  RemoveTree(card + "NK.BIN");
  g_nSystemKind = savedKind;
}

}  // namespace
}  // namespace tessarin::test
