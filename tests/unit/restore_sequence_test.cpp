#include "restore/restore_sequence.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "install/project_folder.h"
#include "shared/restore_log_lines.h"

namespace tessarin::test {
namespace {

using Lines = std::vector<std::string>;

const Lines& kCardLines = kCardStepLines;

Lines Concat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Lines FirstCardLines(std::size_t n) { return Lines(kCardLines.begin(), kCardLines.begin() + static_cast<long>(n)); }

const std::string kConfirmE =
    "All existing files will be deleted!\n\nAre you sure you want to restore the\nsystem to the SD CARD in drive e:?";
const std::string kSuccess =
    "System restored to SD CARD successfully.\n\nMake sure all data has been written before\nremoving the SD CARD "
    "from the drive.";

struct Restore : World {
  Restore() {
    installer.filesWritten = {"e:\\BLDR"};
    profile.SetFile("C:\\Tessarin\\CFDef.ini",
                    "[CF0]\nModelNumber=SD-1G\nCapacity=1000000000\nSectorsPerCard=1953125\nNoHeads=32\n"
                    "NoSectorsPerTrack=63\nNoCylinders=968\n");
    format.shape.heads = 255;  // FORMAT on a card reader: the geometry needs a repair
  }
  void WithProject() {
    files.AddFile("e:\\Project\\main.prj", 1200);
    files.AddFile("e:\\Project\\screens\\s1.bmp", 40000);
  }
};

TEST(RestoreWorker, CompleteRunWithoutProjectFolder) {
  Restore w;
  w.ui.values.bPreserveProject = false;
  EXPECT_EQ(RestoreWorker(w.ctx), RestoreResult::Completed);
  EXPECT_EQ(w.Messages(), Concat({kCardLines, {"::Info:: System restored to FLASH successfully."}}));
  EXPECT_EQ(w.BoxTexts(), (Lines{kConfirmE, kSuccess}));
  EXPECT_EQ(w.ui.boxes[0].flags, 0x24u);
  EXPECT_EQ(w.ui.boxes[1].flags, 0x30u);
  EXPECT_TRUE(w.files.copies.empty());
  EXPECT_FALSE(w.ui.animating);
  EXPECT_EQ(w.journal.front(), "busy");
  EXPECT_EQ(w.journal.back(), "idle");
  // The card was formatted, then held for the boot records, then let go.
  EXPECT_EQ(w.card.Mbr()[446], 0x80);
  EXPECT_EQ(w.card.VolumeBoot()[26], 32);  // heads from the definition file
  EXPECT_EQ(w.device.openHandles, 0);
  EXPECT_EQ(w.device.liveBuffers, 0);
  EXPECT_EQ(w.files.Get("e:\\BLDR")->attributes, 0x27u);
}

TEST(RestoreWorker, StepsRunInTheirOrder) {
  Restore w;
  w.ui.values.bPreserveProject = false;
  RestoreWorker(w.ctx);
  Journal steps;
  for (const std::string& e : w.journal) {
    if (e.rfind("sleep", 0) == 0) steps.push_back(e);
    for (const char* p : {"busy", "exchange", "box", "animation", "open \\\\.\\E:", "close 100", "format", "read",
                          "write", "flush", "install", "attrib", "idle"}) {
      if (e.rfind(p, 0) == 0) steps.push_back(p);
    }
  }
  // The boot records are read back after their writes; after the
  // installer the card is read, not held, for the root folder's check.
  EXPECT_EQ(steps, (Journal{"busy", "exchange", "box", "animation",
                            // the card is taken and let go, formatted, then held
                            "open \\\\.\\E:", "sleep 5000", "close 100", "format", "sleep 2000",
                            "open \\\\.\\E:", "sleep 5000",
                            // boot records, each read back
                            "read", "write", "flush", "read", "read", "write", "flush", "read", "close 100",
                            // the installer, the marks, the boot sector and the root folder read
                            "install", "attrib", "open \\\\.\\E:", "flush", "read", "close 100",
                            "open \\\\.\\E:", "flush", "read", "close 100",
                            // the end
                            "animation", "box", "idle"}));
}

TEST(RestoreWorker, CompleteRunWithProjectFolder) {
  Restore w;
  w.WithProject();
  EXPECT_EQ(RestoreWorker(w.ctx), RestoreResult::Completed);
  EXPECT_EQ(w.Messages(),
            Concat({{"::Info:: Backing up Project Folder.", "::Info:: Backing up Project Folder completed."},
                    kCardLines,
                    {"::Info:: Restoring Project Folder.", "::Info:: Restoring Project Folder Completed.",
                     "::Info:: Cleaning up Temp Direcotry.", "::Info:: Cleaning up Temp Direcotry Completed.",
                     "::Info:: System restored to FLASH successfully."}}));
  EXPECT_EQ(w.files.Get("e:\\Project\\screens\\s1.bmp")->size, 40000u);
  EXPECT_FALSE(w.files.Exists("C:\\Temp\\QV1"));
  EXPECT_TRUE(g_strSavedProjectFolder.empty());
}

TEST(RestoreWorker, CardWithoutProjectFolderWarnsAndGoesOn) {
  Restore w;
  EXPECT_EQ(RestoreWorker(w.ctx), RestoreResult::Completed);
  EXPECT_EQ(w.Messages(),
            Concat({{"::Info:: Backing up Project Folder.", "::Warning:: No Project Folder found on drive."},
                    kCardLines,
                    {"::Info:: System restored to FLASH successfully."}}));
}

TEST(RestoreWorker, NoDriveChosen) {
  Restore w;
  w.ui.values.strDrive = "";
  EXPECT_EQ(RestoreWorker(w.ctx), RestoreResult::NoDrive);
  EXPECT_EQ(w.BoxTexts(), Lines{"You must specify a destination drive."});
  EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);
  EXPECT_TRUE(w.ui.lines.empty());
  EXPECT_EQ(w.journal, (Journal{"busy", "exchange", "box You must specify a destination drive.", "idle"}));
}

TEST(RestoreWorker, AnsweringNoTouchesNothing) {
  Restore w;
  w.WithProject();
  w.ui.answers = {kIdNo};
  EXPECT_EQ(RestoreWorker(w.ctx), RestoreResult::Declined);
  EXPECT_TRUE(w.ui.lines.empty());
  EXPECT_EQ(w.journal, (Journal{"busy", "exchange", "box All existing files will be deleted!", "idle"}));
}

TEST(RestoreWorker, QuestionKeepsTheLetterAsChosen) {
  for (const char* drive : {"[-e-]", "[-E-]"}) {
    Restore w;
    w.ui.values.strDrive = drive;
    w.ui.answers = {kIdNo};
    RestoreWorker(w.ctx);
    const std::string& q = w.ui.boxes.at(0).text;
    EXPECT_EQ(q.substr(q.rfind('\n') + 1), std::string("system to the SD CARD in drive ") + drive[2] + ":?");
  }
}

struct FailureCase {
  const char* name;
  std::function<void(Restore&)> setup;
  Lines lines;    // the whole log
  Lines boxes;    // after the question
  bool released;  // the card is let go before the end
};

TEST(RestoreWorker, FailuresStopAtTheirStep) {
  const std::string lockError = "::Error:: Failed to Lock the Volume. Try removing reinserting drive and try again.";
  const FailureCase cases[] = {
      {"first acquisition",
       [](Restore& w) { w.device.volumeOpens = false; },
       {kCardLines[0], lockError},
       {"Cannot open or read destination drive.", "Failed to Lock the Volume."},
       false},
      {"format",
       [](Restore& w) { w.format.succeeds = false; },
       Concat({FirstCardLines(5),
               {"::Error:: Failed to Format the drive. Try removing reinserting drive and try again."}}),
       {"Failed to Format the Drive."},
       true},
      {"master boot record",
       [](Restore& w) { w.device.failing.insert("read-disk"); },
       FirstCardLines(9),
       {"Cannot open or read destination drive."},
       true},
      {"boot sector",
       [](Restore& w) { w.files.nodes.erase("c:\\tessarin\\cfdef.ini"); },
       FirstCardLines(11),
       {"The SD CARD definition file is not present. "},
       true},
      // A card that drops a write fails that step as a failed write does.
      {"master boot record dropped",
       [](Restore& w) {
         w.device.garble = [](const std::string& what, const Sector& before, Sector& held) {
           if (what == "write-disk") held = before;
         };
       },
       FirstCardLines(9),
       {"Cannot open or read destination drive."},
       true},
      {"boot sector dropped",
       [](Restore& w) {
         w.device.garble = [](const std::string& what, const Sector& before, Sector& held) {
           if (what == "write-volume") held = before;
         };
       },
       FirstCardLines(11),
       {"Error 29\n\nThe system has no description of this error."},
       true},
      // An installer whose BLDR the loader would not find fails its step.
      {"boot file out of reach",
       [](Restore& w) {
         std::vector<RootEntry> root(20, RootEntry{"README.TXT", 10, 0x20, {}});
         root.push_back({"BLDR", 3000, 0x27, {}});
         w.installer.rootFolder = root;
       },
       FirstCardLines(15),
       {"The system will not start from this SD CARD.\n\nThe boot sector looks for the following file among the "
        "first\nentries of the root folder only, and it is not there:\n\nBLDR"},
       true},
      {"firmware",
       [](Restore& w) { w.installer.outcome.exitCode = 1; },
       FirstCardLines(15),
       {"Error returned from WinZip while decompressing files."},
       true},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    w.ui.values.bPreserveProject = false;
    c.setup(w);
    EXPECT_EQ(RestoreWorker(w.ctx), RestoreResult::Failed);
    EXPECT_EQ(w.Messages(), c.lines);
    Lines boxes = w.BoxTexts();
    boxes.erase(boxes.begin());
    EXPECT_EQ(boxes, c.boxes);
    for (const auto& b : w.ui.boxes) EXPECT_NE(b.flags & 0xF0, 0u);
    EXPECT_FALSE(w.ui.animating);
    EXPECT_EQ(w.journal.back(), "idle");
    if (c.released) {
      EXPECT_EQ(w.device.openHandles, 0);
    }
    EXPECT_EQ(w.device.liveBuffers, 0);
    // Only an installation that ended well marks the system files; the
    // root folder is checked after that.
    EXPECT_EQ(w.JournalOf("attrib").empty(), std::string(c.name) != "boot file out of reach");
  }
}

TEST(RestoreWorker, SecondAcquisitionFailing) {
  Restore w;
  w.ui.values.bPreserveProject = false;
  // The volume is gone once FORMAT has run.
  struct GoneAfterFormat : FormatPort {
    FakeFormat& inner;
    FakeDeviceApi& device;
    GoneAfterFormat(FakeFormat& f, FakeDeviceApi& d) : inner(f), device(d) {}
    bool FormatCard(const std::string& drive) override {
      device.volumeOpens = false;
      return inner.FormatCard(drive);
    }
  } gone(w.format, w.device);
  RestoreContext ctx(Ports{w.ui, w.system, w.resources, w.handleCard, gone, w.installer, w.files, w.profile});
  ctx.SetSystemKind(3);
  EXPECT_EQ(RestoreWorker(ctx), RestoreResult::Failed);
  EXPECT_EQ(w.Messages(),
            Concat({FirstCardLines(7),
                    {"::Error:: Failed to Lock the Volume. Try removing reinserting drive and try again."}}));
  EXPECT_EQ(w.BoxTexts(), (Lines{kConfirmE, "Cannot open or read destination drive.", "Failed to Lock the Volume."}));
}

TEST(RestoreWorker, SavedProjectIsNamedWhenTheRunStops) {
  for (const char* step : {"lock", "format", "mbr", "boot sector", "firmware"}) {
    SCOPED_TRACE(step);
    Restore w;
    w.WithProject();
    const std::string s = step;
    if (s == "lock") w.device.volumeOpens = false;
    if (s == "format") w.format.succeeds = false;
    if (s == "mbr") w.device.failing.insert("write-disk");
    if (s == "boot sector") w.device.failing.insert("write-volume");
    if (s == "firmware") w.installer.outcome.exitCode = 3;
    EXPECT_EQ(RestoreWorker(w.ctx), RestoreResult::Failed);
    EXPECT_EQ(w.Messages().back(), "::Warning:: The Project Folder is saved in C:\\Temp\\QV1\\Project");
    EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV1\\Project\\screens\\s1.bmp"));
  }
}

TEST(RestoreWorker, ProjectThatCannotBeSavedStopsBeforeTheCardIsTouched) {
  for (const char* how : {"no temp folder", "copy incomplete"}) {
    SCOPED_TRACE(how);
    Restore w;
    w.WithProject();
    if (std::string(how) == "no temp folder") {
      w.files.tempPath.reset();
    } else {
      w.files.dropFileFrom = "e:\\";
    }
    EXPECT_EQ(RestoreWorker(w.ctx), RestoreResult::Failed);
    EXPECT_TRUE(w.JournalOf("format").empty());
    EXPECT_TRUE(w.JournalOf("open").empty());
    EXPECT_EQ(w.Messages().size(), 2u);
    EXPECT_EQ(w.Messages().back().rfind("::Error:: Failed to back up the Project Folder", 0), 0u);
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
  EXPECT_EQ(RestoreWorker(w.ctx), RestoreResult::ProjectNotRestored);
  const Lines m = w.Messages();
  EXPECT_EQ(m[m.size() - 2], "::Info:: System restored to FLASH successfully.");
  EXPECT_EQ(m.back(), "::Warning:: The Project Folder is saved in C:\\Temp\\QV1\\Project");
  EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV1\\Project\\main.prj"));
}

TEST(RestoreWorker, PressingAgainRepeatsTheWholeSequence) {
  Restore w;
  w.ui.values.bPreserveProject = false;
  RestoreWorker(w.ctx);
  w.ui.lines.clear();  // the button handler empties the log
  w.ui.boxes.clear();
  EXPECT_EQ(RestoreWorker(w.ctx), RestoreResult::Completed);
  EXPECT_EQ(w.ui.boxes.front().text, kConfirmE);
  EXPECT_EQ(w.Messages().size(), kCardLines.size() + 1);
}

}  // namespace
}  // namespace tessarin::test
