#include "install/firmware.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace tessarin::test {
namespace {

TEST(InstallerCommandFor, EachKindRunsItsArchiveAgainstTheCardRoot) {
  struct {
    SystemKind kind;
    char letter;
    const char* archive;
    const char* commandLine;
  } cases[] = {
      {SystemKind::RomDos, 'E', "romdossys.exe", "romdossys.exe -auto E:\\"},
      {SystemKind::Dos, 'E', "dossys.exe", "dossys.exe -auto E:\\"},
      {SystemKind::WinCE, 'e', "wincesys.exe", "wincesys.exe -y -oe:\\"},  // the letter as given
      {static_cast<SystemKind>(0), 'F', "dossys.exe", "dossys.exe -auto F:\\"},
      {static_cast<SystemKind>(4), 'F', "dossys.exe", "dossys.exe -auto F:\\"},
  };
  for (const auto& c : cases) {
    const InstallerCommand cmd = InstallerCommandFor(c.kind, c.letter, '\\');
    EXPECT_EQ(cmd.archive, c.archive);
    EXPECT_EQ(cmd.commandLine, c.commandLine);
    EXPECT_EQ(cmd.driveLetter, c.letter);
  }
}

TEST(InstallFirmware, MarksTheSystemFilesOfTheKindInOrder) {
  struct {
    SystemKind kind;
    std::vector<std::string> files;
  } cases[] = {
      {SystemKind::RomDos, {"e:\\IBMBIO.COM", "e:\\IBMDOS.COM"}},
      {SystemKind::Dos, {"e:\\io.sys", "e:\\msdos.sys", "e:\\drvspace.bin"}},
      {SystemKind::WinCE, {"e:\\BLDR"}},
  };
  for (const auto& c : cases) {
    World w;
    w.SetKind(c.kind);
    w.installer.filesWritten = c.files;
    w.installer.filesWritten.push_back("e:\\other.dat");
    EXPECT_EQ(InstallFirmware(w.installer, w.files, w.ctx.log, g_nSystemKind, "[-e-]"), 0);
    std::vector<std::string> marked;
    for (const std::string& e : w.JournalOf("attrib ")) marked.push_back(e.substr(7));
    EXPECT_EQ(marked, c.files);
    for (const std::string& f : c.files) EXPECT_EQ(w.files.Get(f)->attributes, 0x27u) << f;
    EXPECT_EQ(w.files.Get("e:\\other.dat")->attributes, 0u);
    EXPECT_TRUE(w.ui.boxes.empty());
  }
}

TEST(InstallFirmware, UnknownKindMarksNothing) {
  World w;
  g_nSystemKind = static_cast<SystemKind>(7);
  EXPECT_EQ(InstallFirmware(w.installer, w.files, w.ctx.log, g_nSystemKind, "[-e-]"), 0);
  EXPECT_EQ(w.installer.commands.at(0).commandLine, "dossys.exe -auto e:\\");
  EXPECT_TRUE(w.JournalOf("attrib").empty());
}

TEST(InstallFirmware, MissingSystemFilesPassWithoutAWord) {
  World w;
  w.SetKind(SystemKind::Dos);
  w.installer.filesWritten = {"e:\\io.sys"};
  EXPECT_EQ(InstallFirmware(w.installer, w.files, w.ctx.log, g_nSystemKind, "[-e-]"), 0);
  EXPECT_EQ(w.JournalOf("attrib").size(), 3u);
  EXPECT_TRUE(w.ui.boxes.empty());
}

TEST(InstallFirmware, FailuresAreReportedAndMarkNothing) {
  struct {
    const char* name;
    InstallerOutcome outcome;
    std::string box;
    bool stopsAnimation;
  } cases[] = {
      {"exit code 1", {true, {}, 1}, "Error returned from WinZip while decompressing files.", false},
      {"exit code 259", {true, {}, 259}, "Error returned from WinZip while decompressing files.", false},
      {"not started",
       {false, Failure::Win32(FailureKind::NotFound, 2), 0},
       "Error 2\n\nThe system has no description of this error.",
       true},
      {"not started, no code", {false, {}, 0}, "Error 13\n\nThe system has no description of this error.", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.ui.StartProgressAnimation();
    w.installer.outcome = c.outcome;
    w.installer.filesWritten = {"e:\\BLDR"};
    EXPECT_EQ(InstallFirmware(w.installer, w.files, w.ctx.log, g_nSystemKind, "[-e-]"), -1);
    EXPECT_EQ(w.BoxTexts(), std::vector<std::string>{c.box});
    EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);
    EXPECT_EQ(w.ui.animating, !c.stopsAnimation);
    EXPECT_TRUE(w.JournalOf("attrib").empty());
  }
}

}  // namespace
}  // namespace tessarin::test
