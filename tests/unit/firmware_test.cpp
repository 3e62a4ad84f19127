#include "install/firmware.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace tessarin::test {
namespace {

TEST(InstallerCommandFor, EachKindRunsItsArchiveAgainstTheCardRoot) {
  using Names = std::vector<std::string>;
  struct {
    SystemKind kind;
    char letter;
    const char* archive;
    const char* commandLine;
    Names firstFiles;
  } cases[] = {
      {SystemKind::RomDos, 'E', "romdossys.exe", "romdossys.exe -auto E:\\", {"IBMBIO.COM", "IBMDOS.COM"}},
      {SystemKind::Dos, 'E', "dossys.exe", "dossys.exe -auto E:\\", {"io.sys", "msdos.sys", "drvspace.bin"}},
      {SystemKind::WinCE, 'e', "wincesys.exe", "wincesys.exe -y -oe:\\", {"BLDR"}},  // the letter as given
      {static_cast<SystemKind>(0), 'F', "dossys.exe", "dossys.exe -auto F:\\", {}},
      {static_cast<SystemKind>(4), 'F', "dossys.exe", "dossys.exe -auto F:\\", {}},
  };
  for (const auto& c : cases) {
    const InstallerCommand cmd = InstallerCommandFor(c.kind, c.letter, '\\');
    EXPECT_EQ(cmd.archive, c.archive);
    EXPECT_EQ(cmd.commandLine, c.commandLine);
    EXPECT_EQ(cmd.driveLetter, c.letter);
    EXPECT_EQ(cmd.firstFiles, c.firstFiles);
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
    EXPECT_EQ(InstallFirmware(w.installer, w.files, w.handleCard, w.ctx.log, g_nSystemKind, "[-e-]"), 0);
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
  EXPECT_EQ(InstallFirmware(w.installer, w.files, w.handleCard, w.ctx.log, g_nSystemKind, "[-e-]"), 0);
  EXPECT_EQ(w.installer.commands.at(0).commandLine, "dossys.exe -auto e:\\");
  EXPECT_TRUE(w.JournalOf("attrib").empty());
}

TEST(InstallFirmware, MissingSystemFilesPassWithoutAWord) {
  World w;
  w.SetKind(SystemKind::Dos);
  w.installer.filesWritten = {"e:\\io.sys"};
  EXPECT_EQ(InstallFirmware(w.installer, w.files, w.handleCard, w.ctx.log, g_nSystemKind, "[-e-]"), 0);
  EXPECT_EQ(w.JournalOf("attrib").size(), 3u);
  EXPECT_TRUE(w.ui.boxes.empty());
}

TEST(InstallFirmware, ACardThatDoesNotGiveBackTheInstallationFailsTheStep) {
  for (const bool proves : {true, false}) {
    SCOPED_TRACE(proves);
    World w;
    w.SetKind(SystemKind::RomDos);
    w.installer.filesWritten = {"e:\\IBMBIO.COM", "e:\\IBMDOS.COM"};
    w.installer.proves = proves;
    EXPECT_EQ(InstallFirmware(w.installer, w.files, w.handleCard, w.ctx.log, g_nSystemKind, "[-e-]"), proves ? 0 : -1);
    // Proven after the marking, with the system files and their marks.
    const Journal proofs = w.JournalOf("prove");
    ASSERT_EQ(proofs, Journal{"prove e:\\IBMBIO.COM e:\\IBMDOS.COM 39"});
    EXPECT_LT(std::find(w.journal.begin(), w.journal.end(), "attrib e:\\IBMDOS.COM") - w.journal.begin(),
              std::find(w.journal.begin(), w.journal.end(), proofs[0]) - w.journal.begin());
    EXPECT_EQ(w.BoxTexts(), proves ? std::vector<std::string>{}
                                   : std::vector<std::string>{"Error returned from WinZip while decompressing files."});
    // A card that failed its proof is not read for the boot file.
    EXPECT_EQ(w.JournalOf("open").empty(), !proves);
  }
}

TEST(InstallFirmware, FailsWhenTheBootSectorWouldNotFindItsFile) {
  const std::string notFound =
      "The system will not start from this SD CARD.\n\nThe boot sector looks for the following file among the "
      "first\nentries of the root folder only, and it is not there:\n\n";
  const std::string scattered =
      "The system will not start from this SD CARD.\n\nThe boot sector reads the following file in one piece, "
      "but it\nis stored in scattered parts:\n\n";
  std::vector<RootEntry> twentyFirst;
  for (int i = 0; i < 20; ++i) twentyFirst.push_back({"F" + std::to_string(i) + ".TXT", 10, 0x20, {}});
  twentyFirst.push_back({"BLDR", 40'000, 0x27, {}});
  struct Case {
    const char* name;
    SystemKind kind;
    std::optional<std::vector<RootEntry>> root;
    std::function<void(World&)> setup;
    std::string box;  // none: it passes
  } cases[] = {
      {"BLDR after 20 other files", SystemKind::WinCE, twentyFirst, nullptr, notFound + "BLDR"},
      {"BLDR scattered", SystemKind::WinCE, std::vector<RootEntry>{{"BLDR", 40'000, 0x27, {5, 6, 9, 10, 11, 12}}},
       nullptr, scattered + "BLDR"},
      // Where the archive brought no BLDR there is nothing to start.
      {"no BLDR", SystemKind::WinCE, std::vector<RootEntry>{{"NK.BIN", 10, 0x20, {}}}, nullptr, notFound + "BLDR"},
      {"no IBMBIO.COM", SystemKind::RomDos, std::vector<RootEntry>{}, nullptr, notFound + "IBMBIO.COM"},
      {"root folder unreadable", SystemKind::WinCE, std::nullopt,
       [](World& w) {
         w.faults.op = "read-volume";
         w.faults.nth = 2;
       },
       "Cannot open or read destination drive."},
      {"volume does not open", SystemKind::WinCE, std::nullopt, [](World& w) { w.device.volumeOpens = false; },
       "Cannot open or read destination drive."},
      {"BLDR first", SystemKind::WinCE, std::nullopt, nullptr, ""},
      {"DOS: sector 12 is started, no file", SystemKind::Dos, std::vector<RootEntry>{}, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.SetKind(c.kind);
    w.installer.filesWritten = {"e:\\" + SystemFilesFor(c.kind, 'e', '\\').front().substr(3), "e:\\NK.BIN"};
    w.installer.rootFolder = c.root;
    if (c.setup) c.setup(w);
    EXPECT_EQ(InstallFirmware(w.installer, w.files, w.handleCard, w.ctx.log, g_nSystemKind, "[-e-]"),
              c.box.empty() ? 0 : -1);
    EXPECT_EQ(w.BoxTexts(), c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.box});
    if (!c.box.empty()) {
      EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);
    }
    // The files are marked all the same; the card is not held afterwards.
    EXPECT_EQ(w.files.Get(w.installer.filesWritten[0])->attributes, 0x27u);
    EXPECT_EQ(w.device.openHandles, 0);
    EXPECT_EQ(w.device.liveBuffers, 0);
  }
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
    EXPECT_EQ(InstallFirmware(w.installer, w.files, w.handleCard, w.ctx.log, g_nSystemKind, "[-e-]"), -1);
    EXPECT_EQ(w.BoxTexts(), std::vector<std::string>{c.box});
    EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);
    EXPECT_EQ(w.ui.animating, !c.stopsAnimation);
    EXPECT_TRUE(w.JournalOf("attrib").empty());
  }
}

}  // namespace
}  // namespace tessarin::test
