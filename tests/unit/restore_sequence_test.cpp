// The restore sequence over the card port: the card is a byte array that
// the port holds or lets go; how the handle layer holds it is its own
// suite's business.
#include "restore/restore_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes.h"
#include "install/firmware.h"
#include "install/project_folder.h"
#include "shared/restore_log_lines.h"

namespace tessarin::test {
namespace {

using Lines = std::vector<std::string>;

constexpr unsigned kQuestionFlags = kMbYesNo | kMbIconQuestion;  // 0x24
constexpr unsigned kNoticeFlags = kMbOk | kMbIconExclamation;    // 0x30

Lines Concat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The card steps' lines up to and including the one given.
Lines CardLinesThrough(const std::string& last) {
  const auto end = std::find(kCardStepLines.begin(), kCardStepLines.end(), last);
  EXPECT_NE(end, kCardStepLines.end()) << last;
  return Lines(kCardStepLines.begin(), end == kCardStepLines.end() ? end : end + 1);
}

const std::string kForcingLock = "::Info:: Forcing Lock on Volume.";
const std::string kFormatting = "::Info:: Formatting Started.";
const std::string kLocking = "::Info:: Locking Volume.";
const std::string kInstallingMbr = "::Info:: Installing Master Boot Record.";
const std::string kInstallingBootSector = "::Info:: Installing BootSector.";
const std::string kInstallingFirmware = "::Info:: Installing Firmware... Please wait.";
const std::string kRestored = "::Info:: System restored to FLASH successfully.";
const std::string kLockError = "::Error:: Failed to Lock the Volume. Try removing reinserting drive and try again.";
const std::string kFormatError = "::Error:: Failed to Format the drive. Try removing reinserting drive and try again.";
const std::string kSavedProjectLine = "::Warning:: The Project Folder is saved in C:\\Temp\\QV1\\Project";

const std::string kConfirmE =
    "All existing files will be deleted!\n\nAre you sure you want to restore the\nsystem to the SD CARD in drive e:?";
const std::string kSuccess =
    "System restored to SD CARD successfully.\n\nMake sure all data has been written before\nremoving the SD CARD "
    "from the drive.";

// A card in drive e: whose reader makes FORMAT write 255 heads, so that
// the boot sector needs the definition file.
struct Restore : World {
  Restore() : overCardPort(Ports{ui, system, resources, cardPort, format, installer, files, profile}) {
    overCardPort.SetSystemKind(SystemKind::WinCE);
    installer.filesWritten = {"e:\\BLDR"};
    profile.SetFile("C:\\Tessarin\\CFDef.ini",
                    "[CF0]\nModelNumber=SD-1G\nCapacity=1000000000\nSectorsPerCard=1953125\nNoHeads=32\n"
                    "NoSectorsPerTrack=63\nNoCylinders=968\n");
    format.shape.heads = 255;
  }
  void WithProject() {
    files.AddFile("e:\\Project\\main.prj", 1200);
    files.AddFile("e:\\Project\\screens\\s1.bmp", 40000);
  }
  RestoreResult Run() { return RestoreWorker(overCardPort); }

  FakeCard cardPort{card, journal, cardLog};
  RestoreContext overCardPort;
};

TEST(RestoreWorker, CompleteRunWithoutProjectFolder) {
  Restore w;
  w.ui.values.preserveProject = false;
  EXPECT_EQ(w.Run(), RestoreResult::Completed);
  EXPECT_EQ(w.Messages(), Concat({kCardStepLines, {kRestored}}));
  EXPECT_EQ(w.BoxTexts(), (Lines{kConfirmE, kSuccess}));
  EXPECT_EQ(w.ui.boxes[0].flags, kQuestionFlags);
  EXPECT_EQ(w.ui.boxes[1].flags, kNoticeFlags);
  EXPECT_TRUE(w.files.copies.empty());
  EXPECT_FALSE(w.ui.animating);
  // Formatted, held for the boot records, let go.
  EXPECT_EQ(w.card.Mbr()[PartitionEntry(0) + kPartitionBootIndicator], kActivePartition);
  EXPECT_EQ(GetLe16(w.card.VolumeBoot().data(), kBpbHeads), 32);  // from the definition file
  EXPECT_FALSE(w.cardPort.held);
  EXPECT_EQ(w.cardPort.liveBuffers, 0);
  EXPECT_EQ(w.files.Get("e:\\BLDR")->attributes, kSystemFileAttributes);
}

TEST(RestoreWorker, StepsRunInTheirOrder) {
  Restore w;
  w.ui.values.preserveProject = false;
  w.Run();
  Journal steps;
  for (const std::string& e : w.journal) {
    for (const char* p : {"busy", "exchange", "box", "animation", "acquire", "release", "format", "sleep", "read",
                          "write", "install", "attrib", "idle"}) {
      if (e.rfind(p, 0) == 0) steps.push_back(e.substr(0, e.find(' ', std::string(p) == "sleep" ? 6 : 0)));
    }
  }
  // Each boot record is read back after its write; after the installer
  // the boot sector and the root folder's first sector are read, not held.
  EXPECT_EQ(
      steps,
      (Journal{"busy", "exchange", "box", "animation", "acquire", "release", "format", "sleep 2000", "acquire",
               // the boot records
               "read-mbr", "write-mbr", "read-back-mbr", "read-volume", "write-volume", "read-back-volume", "release",
               // the firmware
               "install", "attrib", "read-volume-sector", "read-volume-sector",
               // the end
               "animation", "release", "box", "idle"}));
}

TEST(RestoreWorker, ProjectFolderAroundTheCardSteps) {
  const struct {
    const char* name;
    bool project;
    Lines before;  // the log lines before the card steps
    Lines after;   // between the card steps and the success line
  } cases[] = {
      {"project saved and put back",
       true,
       {"::Info:: Backing up Project Folder.", "::Info:: Backing up Project Folder completed."},
       {"::Info:: Restoring Project Folder.", "::Info:: Restoring Project Folder Completed.",
        "::Info:: Cleaning up Temp Direcotry.", "::Info:: Cleaning up Temp Direcotry Completed."}},
      {"card without a project folder",
       false,
       {"::Info:: Backing up Project Folder.", "::Warning:: No Project Folder found on drive."},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    if (c.project) w.WithProject();
    EXPECT_EQ(w.Run(), RestoreResult::Completed);
    EXPECT_EQ(w.Messages(), Concat({c.before, kCardStepLines, c.after, {kRestored}}));
    if (c.project) {
      EXPECT_EQ(w.files.Get("e:\\Project\\screens\\s1.bmp")->size, 40000u);
      EXPECT_FALSE(w.files.Exists("C:\\Temp\\QV1"));
    }
    EXPECT_TRUE(g_strSavedProjectFolder.empty());
  }
}

TEST(RestoreWorker, NothingIsDoneWithoutADriveOrAYes) {
  const struct {
    const char* name;
    std::string drive;
    int answer;
    RestoreResult result;
    Journal journal;
  } cases[] = {
      {"no drive chosen",
       "",
       kIdYes,
       RestoreResult::NoDrive,
       {"busy", "exchange", "box You must specify a destination drive.", "idle"}},
      {"answered No",
       "[-e-]",
       kIdNo,
       RestoreResult::Declined,
       {"busy", "exchange", "box All existing files will be deleted!", "idle"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    w.WithProject();
    w.ui.values.drive = c.drive;
    w.ui.answers = {c.answer};
    EXPECT_EQ(w.Run(), c.result);
    EXPECT_TRUE(w.ui.lines.empty());
    EXPECT_EQ(w.journal, c.journal);
    EXPECT_EQ(w.ui.boxes.at(0).flags, c.drive.empty() ? kNoticeFlags : kQuestionFlags);
  }
}

TEST(RestoreWorker, QuestionKeepsTheLetterAsChosen) {
  for (const char* drive : {"[-e-]", "[-E-]"}) {
    Restore w;
    w.ui.values.drive = drive;
    w.ui.answers = {kIdNo};
    w.Run();
    const std::string& q = w.ui.boxes.at(0).text;
    EXPECT_EQ(q.substr(q.rfind('\n') + 1), std::string("system to the SD CARD in drive ") + drive[2] + ":?");
  }
}

// A card that keeps a sector's old bytes when the named write reaches it.
std::function<void(Restore&)> DroppingWrite(std::string write) {
  return [write](Restore& w) {
    w.cardPort.garble = [write](const std::string& what, const Sector& before, Sector& held) {
      if (what == write) held = before;
    };
  };
}

TEST(RestoreWorker, FailuresStopAtTheirStep) {
  const struct {
    const char* name;
    std::function<void(Restore&)> setup;
    Lines lines;    // the whole log
    Lines boxes;    // after the question
    bool released;  // the card is let go before the end
  } cases[] = {
      {"first acquisition",
       [](Restore& w) { w.cardPort.acquisitionsBeforeFailure = 0; },
       {kForcingLock, kLockError},
       {"Cannot open or read destination drive.", "Failed to Lock the Volume."},
       false},
      {"format",
       [](Restore& w) { w.format.succeeds = false; },
       Concat({CardLinesThrough(kFormatting), {kFormatError}}),
       {"Failed to Format the Drive."},
       true},
      {"second acquisition",
       [](Restore& w) { w.cardPort.acquisitionsBeforeFailure = 1; },
       Concat({CardLinesThrough(kLocking), {kLockError}}),
       {"Cannot open or read destination drive.", "Failed to Lock the Volume."},
       false},
      {"master boot record",
       [](Restore& w) { w.cardPort.failing.insert("read-mbr"); },
       CardLinesThrough(kInstallingMbr),
       {"Cannot open or read destination drive."},
       true},
      {"boot sector",
       [](Restore& w) { w.files.nodes.erase("c:\\tessarin\\cfdef.ini"); },
       CardLinesThrough(kInstallingBootSector),
       {"The SD CARD definition file is not present. "},
       true},
      {"firmware",
       [](Restore& w) { w.installer.outcome.exitCode = 1; },
       CardLinesThrough(kInstallingFirmware),
       {"Error returned from WinZip while decompressing files."},
       true},
      // A card that drops a write fails that step as a failed write does.
      {"master boot record dropped",
       DroppingWrite("write-mbr"),
       CardLinesThrough(kInstallingMbr),
       {"Cannot open or read destination drive."},
       true},
      {"boot sector dropped",
       DroppingWrite("write-volume"),
       CardLinesThrough(kInstallingBootSector),
       {"Error 29\n\nThe system has no description of this error."},
       true},
      // An archive whose BLDR the loader would not find fails the firmware
      // step, after the files were marked.
      {"boot file out of reach",
       [](Restore& w) {
         std::vector<RootEntry> root(20, RootEntry{"README.TXT", 10, 0x20, {}});
         root.push_back({"BLDR", 3000, 0x27, {}});
         w.installer.rootFolder = root;
       },
       CardLinesThrough(kInstallingFirmware),
       {"The system will not start from this SD CARD.\n\nThe boot sector looks for the following file among the "
        "first\nentries of the root folder only, and it is not there:\n\nBLDR"},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    w.ui.values.preserveProject = false;
    c.setup(w);
    EXPECT_EQ(w.Run(), RestoreResult::Failed);
    EXPECT_EQ(w.Messages(), c.lines);
    Lines boxes = w.BoxTexts();
    boxes.erase(boxes.begin());
    EXPECT_EQ(boxes, c.boxes);
    for (const auto& b : w.ui.boxes) EXPECT_NE(b.flags & kMbIconMask, 0u);
    EXPECT_FALSE(w.ui.animating);
    EXPECT_EQ(w.journal.back(), "idle");
    if (c.released) {
      EXPECT_FALSE(w.cardPort.held);
    }
    EXPECT_EQ(w.cardPort.liveBuffers, 0);
    EXPECT_EQ(w.JournalOf("attrib").empty(), std::string(c.name) != "boot file out of reach");
  }
}

TEST(RestoreWorker, SavedProjectIsNamedWhenTheRunStops) {
  const struct {
    const char* step;
    std::function<void(Restore&)> setup;
  } cases[] = {
      {"lock", [](Restore& w) { w.cardPort.acquisitionsBeforeFailure = 0; }},
      {"format", [](Restore& w) { w.format.succeeds = false; }},
      {"master boot record", [](Restore& w) { w.cardPort.failing.insert("write-mbr"); }},
      {"boot sector", [](Restore& w) { w.cardPort.failing.insert("write-volume"); }},
      {"firmware", [](Restore& w) { w.installer.outcome.exitCode = 3; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.step);
    Restore w;
    w.WithProject();
    c.setup(w);
    EXPECT_EQ(w.Run(), RestoreResult::Failed);
    EXPECT_EQ(w.Messages().back(), kSavedProjectLine);
    EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV1\\Project\\screens\\s1.bmp"));
  }
}

TEST(RestoreWorker, ProjectThatCannotBeSavedStopsBeforeTheCardIsTouched) {
  const struct {
    const char* name;
    std::function<void(Restore&)> setup;
  } cases[] = {
      {"no temp folder", [](Restore& w) { w.files.tempPath.reset(); }},
      {"copy incomplete", [](Restore& w) { w.files.dropFileFrom = "e:\\"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    w.WithProject();
    c.setup(w);
    EXPECT_EQ(w.Run(), RestoreResult::Failed);
    EXPECT_TRUE(w.JournalOf("format").empty());
    EXPECT_TRUE(w.JournalOf("acquire").empty());
    const Lines m = w.Messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0], "::Info:: Backing up Project Folder.");
    EXPECT_EQ(m[1].rfind("::Error:: Failed to back up the Project Folder", 0), 0u);
    EXPECT_EQ(w.BoxTexts().back(), "Failed to back up the Project Folder.\n\nThe drive has not been changed.");
    EXPECT_FALSE(w.ui.animating);
    EXPECT_EQ(w.journal.back(), "idle");
    EXPECT_TRUE(w.files.Exists("e:\\Project\\main.prj"));
  }
}

TEST(RestoreWorker, ProjectThatCannotBePutBackIsNamedLast) {
  Restore w;
  w.WithProject();
  w.files.failCopyFrom = "C:\\Temp\\";
  EXPECT_EQ(w.Run(), RestoreResult::ProjectNotRestored);
  const Lines m = w.Messages();
  ASSERT_GE(m.size(), 2u);
  EXPECT_EQ(m[m.size() - 2], kRestored);
  EXPECT_EQ(m.back(), kSavedProjectLine);
  EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV1\\Project\\main.prj"));
}

TEST(RestoreWorker, PressingAgainRepeatsTheWholeSequence) {
  Restore w;
  w.ui.values.preserveProject = false;
  w.Run();
  w.ui.lines.clear();  // the button handler empties the log
  w.ui.boxes.clear();
  EXPECT_EQ(w.Run(), RestoreResult::Completed);
  EXPECT_EQ(w.ui.boxes.front().text, kConfirmE);
  EXPECT_EQ(w.Messages(), Concat({kCardStepLines, {kRestored}}));
}

}  // namespace
}  // namespace tessarin::test
