// The restore sequence over the card port: the card is a byte array that
// the port holds or lets go; how the handle layer holds it is its own
// suite's business.
#include "restore/restore_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "fakes.h"
#include "install/firmware.h"
#include "install/project_folder.h"
#include "restore/saved_projects.h"
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
    for (const char* p : {"busy", "exchange", "box", "animation", "acquire", "release", "format", "settle", "sleep",
                          "read", "write", "install", "attrib", "idle"}) {
      if (e.rfind(p, 0) == 0) steps.push_back(e.substr(0, e.find(' ')));
    }
  }
  // The first hold also reads who the card is, before anything is written;
  // each boot record is read back after its write; after the installer the
  // boot sector and the root folder's first sector are read, not held.
  EXPECT_EQ(
      steps,
      (Journal{"busy", "exchange", "box", "animation", "acquire", "read-mbr", "read-volume", "release", "format",
               "settle", "acquire",
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

// ---- before the first write ------------------------------------------------

TEST(RestoreWorker, AWriteProtectedCardIsNamedBeforeTheQuestion) {
  const struct {
    WriteProtection card;
    RestoreResult result;
  } cases[] = {
      {WriteProtection::Writable, RestoreResult::Completed},
      {WriteProtection::Unknown, RestoreResult::Completed},  // the steps report what fails
      {WriteProtection::WriteProtected, RestoreResult::Refused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.card));
    Restore w;
    w.WithProject();
    w.cardPort.writeProtection = c.card;
    const Sector mbr = w.card.Mbr();
    EXPECT_EQ(w.Run(), c.result);
    if (c.result != RestoreResult::Refused) continue;
    ASSERT_EQ(w.ui.boxes.size(), 1u);
    EXPECT_EQ(w.ui.boxes[0].text,
              "The SD CARD in drive e: is write-protected.\n\nSlide the lock switch on the side of the card to unlock "
              "it,\ninsert the card again and try again. Nothing has been changed.");
    EXPECT_EQ(w.ui.boxes[0].flags, kNoticeFlags);
    EXPECT_TRUE(w.Messages().empty());
    EXPECT_TRUE(w.JournalOf("acquire").empty());
    EXPECT_EQ(w.card.Mbr(), mbr);
    EXPECT_EQ(w.journal.back(), "idle");
  }
}

// A card whose files cannot be read is no card without a project folder:
// it is changed only when the operator chooses to go on without it (the
// default answer is No).
TEST(RestoreWorker, ACardWhoseFilesCannotBeReadIsChangedOnlyOnTheOperatorsWord) {
  const std::string kCannotRead = "::Warning:: The files on the drive cannot be read; the Project Folder is not saved.";
  const struct {
    const char* name;
    std::deque<int> answers;  // the confirmation, then the question about the files
    RestoreResult result;
    Lines tail;  // the log after the first acquisition
  } cases[] = {
      {"no answer: the default",
       {kIdYes},
       RestoreResult::Refused,
       {"::Error:: The Project Folder on the drive cannot be read. The drive was not changed."}},
      {"No",
       {kIdYes, kIdNo},
       RestoreResult::Refused,
       {"::Error:: The Project Folder on the drive cannot be read. The drive was not changed."}},
      {"Yes",
       {kIdYes, kIdYes},
       RestoreResult::Completed,
       Concat({{"::Warning:: The drive is restored without its Project Folder, which cannot be read."},
               Lines(kCardStepLines.begin() + 2, kCardStepLines.end()),
               {kRestored}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    w.WithProject();
    w.files.unreadable = {"e:\\"};
    w.ui.answers = c.answers;
    const Sector mbr = w.card.Mbr();
    const Sector vbr = w.card.VolumeBoot();
    EXPECT_EQ(w.Run(), c.result);
    EXPECT_EQ(w.Messages(), Concat({{"::Info:: Backing up Project Folder.", kCannotRead},
                                    CardLinesThrough("::Info:: Forcing Lock on Volume Completed."),
                                    c.tail}));
    ASSERT_GE(w.ui.boxes.size(), 2u);
    EXPECT_EQ(w.ui.boxes[1].text.rfind("The files on the SD CARD in drive e: cannot be read,\nso its Project Folder "
                                       "cannot be saved.",
                                       0),
              0u);
    EXPECT_EQ(w.ui.boxes[1].flags, kQuestionFlags | kMbDefButton2);
    EXPECT_FALSE(w.ui.animating);
    EXPECT_FALSE(w.cardPort.held);
    EXPECT_EQ(w.journal.back(), "idle");
    if (c.result == RestoreResult::Refused) {
      EXPECT_EQ(w.card.Mbr(), mbr);
      EXPECT_EQ(w.card.VolumeBoot(), vbr);
      EXPECT_TRUE(w.JournalOf("format").empty());
      EXPECT_TRUE(w.files.Exists("e:\\Project\\main.prj"));
    }
  }
}

// ---- saved project folders that wait ----------------------------------------

// A saved copy in the temporary folder, with the note of the card it came
// from: this card's when signature is the card's own.
void AddWaitingCopy(Restore& w, const std::string& folder, std::uint32_t signature, const std::string& savedAt) {
  w.files.AddFile(folder + "\\Project\\old.prj", 777);
  CardIdentity card = IdentifyCard(w.card.Mbr().data(), w.card.VolumeBoot().data(), "E:");
  card.diskSignature = signature;
  ASSERT_TRUE(w.files.WriteTextFile(folder + "\\" + kSavedCardNote, FormatSavedCardNote(card, savedAt)));
}

std::uint32_t DiskSignature(Restore& w) {
  return IdentifyCard(w.card.Mbr().data(), w.card.VolumeBoot().data(), "E:").diskSignature;
}

TEST(RestoreWorker, ARetryPutsBackTheProjectTheFailedRunSaved) {
  Restore w;
  w.WithProject();
  w.cardPort.failing = {"write-mbr"};  // stops after formatting
  EXPECT_EQ(w.Run(), RestoreResult::Failed);
  EXPECT_EQ(w.Messages().back(), kSavedProjectLine);
  EXPECT_FALSE(w.files.Exists("e:\\Project"));
  const auto note = w.files.ReadTextFile("C:\\Temp\\QV1\\Card.txt", 4096);
  ASSERT_TRUE(note);
  EXPECT_EQ(ParseSavedCardNote(*note)->card.diskSignature, DiskSignature(w));

  // The operator presses the button again: the log starts empty.
  w.cardPort.failing.clear();
  w.ui.lines.clear();
  w.ui.boxes.clear();
  EXPECT_EQ(w.Run(), RestoreResult::Completed);
  const Lines m = w.Messages();
  EXPECT_EQ(Lines(m.begin(), m.begin() + 2),
            (Lines{"::Info:: Backing up Project Folder.", "::Warning:: No Project Folder found on drive."}));
  EXPECT_NE(
      std::find(m.begin(), m.end(),
                "::Warning:: The Project Folder saved from this drive by an earlier restore (2026-12-10 10:15:00) "
                "in C:\\Temp\\QV1\\Project will be put back."),
      m.end());
  EXPECT_EQ(m.back(), kRestored);
  EXPECT_TRUE(w.files.Exists("e:\\Project\\screens\\s1.bmp"));
  EXPECT_FALSE(w.files.Exists("C:\\Temp\\QV1"));
}

TEST(RestoreWorker, WaitingCopiesGoBackToTheirCardOnlyAndAreNamedOtherwise) {
  const std::string kOther = "::Warning:: A Project Folder saved by an earlier restore (";
  const struct {
    const char* name;
    bool projectOnCard;
    bool preserve;
    bool otherCard;           // the waiting copy came from another card
    bool putBack;             // the waiting copy ends on the card
    std::size_t namedOthers;  // warnings for copies that stay
  } cases[] = {
      {"this card, no project on it", false, true, false, true, 0},
      {"another card's", false, true, true, false, 1},
      {"this card, which has a project again", true, true, false, false, 1},
      {"this card, preservation off", false, false, false, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    if (c.projectOnCard) w.WithProject();
    w.ui.values.preserveProject = c.preserve;
    AddWaitingCopy(w, "C:\\Temp\\QV7", DiskSignature(w) + (c.otherCard ? 1 : 0), "2026-12-01 08:00:00");
    EXPECT_EQ(w.Run(), RestoreResult::Completed);
    EXPECT_EQ(w.files.Exists("e:\\Project\\old.prj"), c.putBack);
    EXPECT_EQ(w.files.Exists("C:\\Temp\\QV7"), !c.putBack);
    const Lines m = w.Messages();
    const auto named = std::count_if(m.begin(), m.end(), [&](const std::string& l) {
      return l.rfind(kOther, 0) == 0 && l.find("waits in C:\\Temp\\QV7\\Project") != std::string::npos;
    });
    EXPECT_EQ(static_cast<std::size_t>(named), c.namedOthers);
    if (c.projectOnCard) {
      EXPECT_TRUE(w.files.Exists("e:\\Project\\main.prj"));
    }
  }
}

// A card without a project, while whether an earlier restore saved one from
// it cannot be told: the card stays as it is, and what waits is named.
TEST(RestoreWorker, ACardWithoutAProjectIsNotFormattedWhileItsSavedCopyCannotBeFound) {
  const struct {
    const char* name;
    std::function<void(Restore&)> spoil;
    bool stops;
    bool listed = true;         // the temporary folder could be listed
    bool thisCardsCopy = true;  // a copy from this card waits
  } cases[] = {
      {"the temporary folder cannot be listed",
       [](Restore& w) { w.files.plan = &w.faults, w.faults.op = "list-folders", w.faults.nth = 1; }, true, false},
      {"a note cannot be read", [](Restore& w) { w.files.unreadable = {"C:\\Temp\\QV8\\Card.txt"}; }, true},
      {"a saved folder cannot be read", [](Restore& w) { w.files.unreadable = {"C:\\Temp\\QV8\\Project"}; }, true},
      {"the card cannot be identified", [](Restore& w) { w.cardPort.allocationsBeforeFailure = 0; }, true},
      {"another card's copy, readable", [](Restore&) {}, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    AddWaitingCopy(w, "C:\\Temp\\QV7", DiskSignature(w) + 1, "2026-12-01 08:00:00");
    if (c.thisCardsCopy) AddWaitingCopy(w, "C:\\Temp\\QV8", DiskSignature(w), "2026-12-02 08:00:00");
    const Sector mbr = w.card.Mbr();
    const Sector vbr = w.card.VolumeBoot();
    c.spoil(w);
    const RestoreResult result = w.Run();
    EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV7\\Project\\old.prj"));
    if (!c.stops) {
      EXPECT_EQ(result, RestoreResult::Completed);
      continue;
    }
    EXPECT_EQ(result, RestoreResult::Refused);
    EXPECT_EQ(w.card.Mbr(), mbr);
    EXPECT_EQ(w.card.VolumeBoot(), vbr);
    EXPECT_TRUE(w.JournalOf("format").empty());
    EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV8\\Project\\old.prj"));
    ASSERT_GE(w.ui.boxes.size(), 2u);
    EXPECT_EQ(w.ui.boxes[1].text.rfind("The SD CARD in drive e: holds no Project Folder, and Tessarin cannot tell", 0),
              0u)
        << w.ui.boxes[1].text;
    const Lines m = w.Messages();
    EXPECT_EQ(m.back(),
              "::Error:: The Project Folders saved by earlier restores cannot all be read or matched to the drive. "
              "The drive was not changed.");
    if (c.listed) {
      EXPECT_NE(std::find_if(m.begin(), m.end(),
                             [](const std::string& l) {
                               return l.find("waits in C:\\Temp\\QV7\\Project") != std::string::npos;
                             }),
                m.end());
    }
    EXPECT_FALSE(w.cardPort.held);
    EXPECT_FALSE(w.ui.animating);
    EXPECT_EQ(w.journal.back(), "idle");
  }
}

}  // namespace
}  // namespace tessarin::test
