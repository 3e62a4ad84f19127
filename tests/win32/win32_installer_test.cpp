// The installer started as the system's CreateProcessA starts it, and its
// end judged by its exit code; then the whole firmware step on the test
// drive.
#include "win32/install/win32_installer.h"

#include <gtest/gtest.h>

#include <cstring>

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

// Under Wine the test drive's files (a folder) and its raw volume (a FAT16
// image) are apart, so the check of the root folder after the installer
// reads the image: the test puts an IBMBIO.COM entry into the image's
// root folder itself. The image holds no BLDR, and a FAT16 volume is none
// the BLDR loader can read: the Windows CE case ends with the check's box,
// as a card whose BLDR is out of the loader's reach does.
class RootEntryInImage {
 public:
  RootEntryInImage() {
    const DeviceHandle volume = api_.Open(std::string("\\\\.\\") + kTestDriveLetter + ":");
    if (volume == kInvalidHandle) return;
    std::uint8_t* sector = api_.AllocateSector();
    std::uint32_t moved = 0;
    if (api_.Read(volume, sector, kSectorSize, moved)) {
      const unsigned reserved = sector[14] | sector[15] << 8;
      const unsigned fatSize = sector[22] | sector[23] << 8;
      at_ = std::uint64_t{reserved + sector[16] * fatSize} * kSectorSize;
      if (api_.SeekTo(volume, at_) && api_.Read(volume, sector, kSectorSize, moved)) {
        original_.assign(sector, sector + kSectorSize);
        std::memcpy(sector + 32, "IBMBIO  COM", 11);  // after the label
        sector[32 + 11] = 0x27;
        sector[32 + 26] = 2;  // first cluster
        sector[32 + 28] = 100;
        ok_ = api_.SeekTo(volume, at_) && api_.Write(volume, sector, kSectorSize, moved);
      }
    }
    api_.FreeSector(sector);
    api_.Close(volume);
  }
  ~RootEntryInImage() {
    if (!ok_) return;
    const DeviceHandle volume = api_.Open(std::string("\\\\.\\") + kTestDriveLetter + ":");
    std::uint8_t* sector = api_.AllocateSector();
    std::memcpy(sector, original_.data(), kSectorSize);
    std::uint32_t moved = 0;
    api_.SeekTo(volume, at_);
    api_.Write(volume, sector, kSectorSize, moved);
    api_.FreeSector(sector);
    api_.Close(volume);
  }
  bool ok() const { return ok_; }

 private:
  Win32DeviceApi api_;
  std::uint64_t at_ = 0;
  std::vector<std::uint8_t> original_;
  bool ok_ = false;
};

TEST_F(Installer, FirmwareStepMarksTheSystemFilesOnlyAfterSuccess) {
  ScopedCurrentDirectory cd(work.path());
  RootEntryInImage ibmbio;
  ASSERT_TRUE(ibmbio.ok()) << "the suite's fixture links " << kTestDriveLetter << ":: to a FAT16 image";
  const std::string drive = MakeDriveEntry(static_cast<char>(kTestDriveLetter - 'A' + 'a'));
  const std::string unzipFailed = "Error returned from WinZip while decompressing files.";
  const std::string bldrOutOfReach = TableString(IDS_BOOT_FILE_NOT_FOUND) + "\n\nBLDR";
  struct Case {
    int kind;
    const char* files;  // what the installer leaves on the card
    const char* exit;
    int result;
    std::vector<std::string> marked;
    std::vector<std::string> unmarked;
    std::string box;
  } cases[] = {
      {3, "BLDR;NK.BIN", "0", -1, {"BLDR"}, {"NK.BIN"}, bldrOutOfReach},
      {1, "IBMBIO.COM", "0", 0, {"IBMBIO.COM"}, {}, ""},  // IBMDOS.COM missing: passed over
      {2, "io.sys;msdos.sys;drvspace.bin", "0", 0, {"io.sys", "msdos.sys", "drvspace.bin"}, {}, ""},
      {3, "BLDR", "1", -1, {}, {"BLDR"}, unzipFailed},
      {3, "BLDR", "259", -1, {}, {"BLDR"}, unzipFailed},
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
    EXPECT_EQ(InstallFirmware(world.installer, world.files, world.card, world.ctx.log, g_nSystemKind, drive), c.result);
    for (const std::string& name : c.marked) EXPECT_EQ(GetFileAttributesA((card + name).c_str()), 0x27u) << name;
    for (const std::string& name : c.unmarked) {
      const DWORD attributes = GetFileAttributesA((card + name).c_str());
      ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << name;
      EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY), 0u) << name;
    }
    if (!c.box.empty()) {
      ASSERT_EQ(world.ui.boxes.size(), 1u);
      EXPECT_EQ(world.ui.boxes[0].text, c.box);
      EXPECT_EQ(world.ui.boxes[0].flags, 0x30u);
    } else {
      EXPECT_TRUE(world.ui.boxes.empty());
    }
    EXPECT_EQ(world.card.handles().volumeHandle, kNoHandle);
  }
  RemoveTree(card + "NK.BIN");
  g_nSystemKind = savedKind;
}

}  // namespace
}  // namespace tessarin::test
