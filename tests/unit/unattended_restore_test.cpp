#include "restore/unattended_restore.h"

#include <gtest/gtest.h>

#include <functional>

#include "fakes.h"

namespace tessarin::test {
namespace {

TEST(FindUnattendedDrive, FindsTheFirstOptionInAnyCase) {
  struct {
    const char* args;
    std::optional<std::string> drive;
  } cases[] = {
      {"", std::nullopt},
      {"/quiet", std::nullopt},
      {"/DRIVE", std::nullopt},
      {"/DRIVE:E", "[-E-]"},
      {"/drive:f", "[-F-]"},
      {"/DrIvE:g extra", "[-G-]"},
      {"x/DRIVE:e /DRIVE:g", "[-E-]"},  // need not start a word;
                                        // the first counts
      {"/DRIVE:", "[--]"},
      {"/DRIVE: E", "[- -]"},
  };
  for (const auto& c : cases) EXPECT_EQ(FindUnattendedDrive(c.args), c.drive) << c.args;
}

struct Unattended : World {
  Unattended() {
    installer.filesWritten = {"E:\\BLDR"};
    journal.clear();
  }
};

TEST(RunUnattendedRestore, RunsTheCardStepsInOrderWithoutTheOperator) {
  Unattended w;
  w.files.AddFile("E:\\Project\\main.prj", 5);
  EXPECT_TRUE(RunUnattendedRestore(w.ctx, "[-E-]"));
  Journal steps;
  for (const std::string& e : w.journal) {
    if (e.rfind("read", 0) == 0 || e.rfind("write", 0) == 0 || e.rfind("flush", 0) == 0) steps.push_back(e);
    for (const char* p : {"format", "open \\\\.\\E:", "close 100", "install", "attrib", "box", "log", "animation",
                          "busy", "exchange", "copy"}) {
      if (e.rfind(p, 0) == 0) steps.push_back(p);
    }
  }
  // Each boot record is read back after its write, past the device's
  // cache; after the installer the boot sector and the root folder are
  // read through a handle of their own.
  EXPECT_EQ(steps, (Journal{"format",      "open \\\\.\\E:", "read-disk",      "write-disk",     "flush-disk",
                            "read-disk",   "read-volume",    "write-volume",   "flush-volume",   "read-volume",
                            "close 100",   "install",        "attrib",         "open \\\\.\\E:", "flush-volume",
                            "read-volume", "close 100",      "open \\\\.\\E:", "flush-volume",   "read-volume",
                            "close 100"}));
  EXPECT_EQ(w.ctx.m_strDrive, "[-E-]");
  EXPECT_EQ(w.installer.commands.at(0).commandLine, "wincesys.exe -y -oE:\\");
  EXPECT_TRUE(w.ui.boxes.empty());
  EXPECT_TRUE(w.JournalOf("settle").empty());  // no pause after formatting
}

// Nobody is there to answer: what would need an answer stops the run with a
// box, before the card is formatted.
TEST(RunUnattendedRestore, StopsBeforeFormattingACardThatNeedsTheOperator) {
  const struct {
    const char* name;
    std::function<void(Unattended&)> setup;
    const char* box;
  } cases[] = {
      {"write-protected", [](Unattended& w) { w.device.writable = false; },
       "The SD CARD in drive E: is write-protected."},
      {"files cannot be read", [](Unattended& w) { w.files.unreadable = {"E:\\"}; },
       "The files on the SD CARD in drive E: cannot be read,\nso its Project Folder cannot be saved.\n\nThe drive "
       "has not been changed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unattended w;
    w.files.AddFile("E:\\Project\\main.prj", 5);
    c.setup(w);
    EXPECT_FALSE(RunUnattendedRestore(w.ctx, "[-E-]"));
    ASSERT_EQ(w.ui.boxes.size(), 1u);
    EXPECT_EQ(w.ui.boxes[0].text.rfind(c.box, 0), 0u) << w.ui.boxes[0].text;
    EXPECT_TRUE(w.JournalOf("format").empty());
    EXPECT_TRUE(w.JournalOf("open").empty());
    EXPECT_TRUE(w.ui.lines.empty());
  }
}

TEST(RunUnattendedRestore, FailedFormatIsNotConsulted) {
  Unattended w;
  w.format.succeeds = false;
  EXPECT_TRUE(RunUnattendedRestore(w.ctx, "[-E-]"));
  EXPECT_EQ(w.installer.commands.size(), 1u);
}

TEST(RunUnattendedRestore, StopsAtAFailedStep) {
  struct Case {
    const char* name;
    std::function<void(Unattended&)> setup;
    bool installs;
  } cases[] = {
      {"acquisition", [](Unattended& w) { w.device.volumeOpens = false; }, false},
      {"master boot record", [](Unattended& w) { w.device.failing.insert("write-disk"); }, false},
      {"boot sector", [](Unattended& w) { w.format.shape.media = 0xF0; }, false},
      {"firmware", [](Unattended& w) { w.installer.outcome.exitCode = 2; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Unattended w;
    c.setup(w);
    EXPECT_FALSE(RunUnattendedRestore(w.ctx, "[-E-]"));
    EXPECT_EQ(w.installer.commands.size(), c.installs ? 1u : 0u);
    EXPECT_EQ(w.ui.boxes.size(), 1u);
    EXPECT_TRUE(w.ui.lines.empty());
    if (std::string(c.name) != "acquisition") {
      EXPECT_EQ(w.device.openHandles, 0);
    }
  }
}

TEST(RunUnattendedRestore, RefusesADriveTheDriveListWouldLeaveOut) {
  struct Case {
    const char* drive;
    std::function<void(FakeSystem&)> setup;
    std::string box;
  } cases[] = {
      {"[--]", nullptr, "You must specify a destination drive."},
      {"[-1-]", nullptr, "You must specify a destination drive."},
      {"[-C-]", nullptr, "Drive C: cannot be restored."},
      {"[-D-]", nullptr, "Drive D: cannot be restored."},  // a CD-ROM drive
      {"[-E-]", [](FakeSystem& s) { s.systemDrive = 'E'; }, "Drive E: cannot be restored."},
      {"[-N-]", [](FakeSystem& s) { s.driveTypes['N'] = DriveType::Remote; }, "Drive N: cannot be restored."},
      {"[-R-]", [](FakeSystem& s) { s.driveTypes['R'] = DriveType::RamDisk; }, "Drive R: cannot be restored."},
      {"[-Q-]", nullptr, "Drive Q: cannot be restored."},  // no root directory
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.drive);
    Unattended w;
    if (c.setup) c.setup(w.system);
    EXPECT_FALSE(RunUnattendedRestore(w.ctx, c.drive));
    ASSERT_EQ(w.ui.boxes.size(), 1u);
    EXPECT_EQ(w.ui.boxes[0].text.substr(0, c.box.size()), c.box);
    EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);
    EXPECT_EQ(w.journal.size(), 1u);  // the box, nothing else
  }
}

TEST(RunUnattendedRestore, AcceptsFixedDrivesOtherThanTheSystemOnes) {
  Unattended w;
  w.system.driveTypes['F'] = DriveType::Fixed;
  w.device.volumeLetter = 'F';
  EXPECT_TRUE(RunUnattendedRestore(w.ctx, "[-F-]"));
}

}  // namespace
}  // namespace tessarin::test
