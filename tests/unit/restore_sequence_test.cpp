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
    profile.SetFile(kDefinitionsPath, DefinitionsText({kOneGigabyteCard}, "\n"));
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
  EXPECT_EQ(steps, (Journal{"busy", "exchange", "box", "animation", "acquire", "read-mbr", "read-volume", "release",
                            "format", "settle", "acquire",
                            // the boot records
                            "read-mbr", "write-mbr", "read-back-mbr", "read-volume", "write-volume", "read-back-volume",
                            "release",
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
       [](Restore& w) { w.files.Forget(kDefinitionsPath); },
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
      // The first write of the MBR gives the card its mark.
      {"master boot record",
       [](Restore& w) {
         w.cardPort.failOnCall = {"write-mbr", 2};
       }},
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
    // Held only to learn whether the card carries the mark of a copy
    // saved earlier; nothing written.
    EXPECT_TRUE(w.JournalOf("format").empty());
    EXPECT_TRUE(w.JournalOf("write-").empty());
    EXPECT_FALSE(w.cardPort.held);
    const Lines m = w.Messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m.front(), "::Info:: Backing up Project Folder.");
    EXPECT_EQ(m.back().rfind("::Error:: Failed to back up the Project Folder", 0), 0u);
    EXPECT_EQ(w.BoxTexts().back(), "Failed to back up the Project Folder.\n\nThe drive has not been changed.");
    EXPECT_FALSE(w.ui.animating);
    EXPECT_EQ(w.journal.back(), "idle");
    EXPECT_TRUE(w.files.Exists("e:\\Project\\main.prj"));
  }
}

TEST(RestoreWorker, ProjectThatCannotBePutBackIsNamedLastAndNoSuccessIsTold) {
  const struct {
    const char* name;
    std::function<void(Restore&)> spoil;
    bool copyKept;
    const char* box;
  } cases[] = {
      {"the copy back fails", [](Restore& w) { w.files.failCopyFrom = "C:\\Temp\\"; }, true,
       "The system was restored to the SD CARD in drive e:,\nbut its Project Folder could not be put back on it.\n\n"},
      {"the saved copy vanished during the run",
       [](Restore& w) {
         w.files.beforeCopy = [&w](const std::string& source) {
           if (source.rfind("C:\\Temp\\", 0) == 0) w.files.DeleteFolderTree("C:\\Temp\\QV1", 0);
         };
       },
       false,
       "The system was restored to the SD CARD in drive e:,\nbut its Project Folder could not be put back on it: the "
       "saved\ncopy has been removed from the temporary folder."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    w.WithProject();
    c.spoil(w);
    EXPECT_EQ(w.Run(), RestoreResult::ProjectNotRestored);
    const Lines m = w.Messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(std::count(m.begin(), m.end(), kRestored), 0);
    EXPECT_EQ(m[m.size() - 2],
              "::Error:: System restored to FLASH, but the Project Folder was not put back on the drive.");
    EXPECT_EQ(m.back(), c.copyKept
                            ? kSavedProjectLine
                            : "::Error:: The saved copy of the Project Folder in C:\\Temp\\QV1\\Project is gone.");
    EXPECT_EQ(w.files.Exists("C:\\Temp\\QV1\\Project\\main.prj"), c.copyKept);
    EXPECT_EQ(w.BoxTexts().back().rfind(c.box, 0), 0u) << w.BoxTexts().back();
  }
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

// A saved copy in the temporary folder, complete with its note: saved from
// a card that looked like this one (its disk signature then was
// signature), which carries mark since.
void AddWaitingCopy(Restore& w, const std::string& folder, std::uint32_t signature, std::uint32_t mark,
                    const std::string& savedAt) {
  w.files.AddFile(folder + "\\Project\\old.prj", 777);
  SavedCardNote note;
  note.card = IdentifyCard(w.card.Mbr().data(), w.card.VolumeBoot().data(), "E:");
  note.card.diskSignature = signature;
  note.mark = mark;
  note.savedAt = savedAt;
  note.contents = DigestSavedCopy(w.files, folder);
  ASSERT_TRUE(w.files.WriteTextFile(folder + "\\" + kSavedCardNote, FormatSavedCardNote(note)));
}

std::uint32_t DiskSignature(Restore& w) {
  return IdentifyCard(w.card.Mbr().data(), w.card.VolumeBoot().data(), "E:").diskSignature;
}

TEST(RestoreWorker, ARetryPutsBackTheProjectTheFailedRunSaved) {
  const struct {
    const char* name;
    std::function<void(Restore&)> stop;
    std::function<void(Restore&)> restart;
  } cases[] = {
      {"stopped after formatting", [](Restore& w) { w.cardPort.failing = {"write-volume"}; },
       [](Restore& w) { w.cardPort.failing.clear(); }},
      // The card gives back something else than its project: what it
      // holds is not the project, whatever it is.
      {"the project not put back", [](Restore& w) { w.files.dropFileFrom = "C:\\Temp\\"; },
       [](Restore& w) { w.files.dropFileFrom.clear(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    w.WithProject();
    const std::uint32_t signature = DiskSignature(w);
    c.stop(w);
    EXPECT_NE(w.Run(), RestoreResult::Completed);
    EXPECT_EQ(w.Messages().back(), kSavedProjectLine);
    const auto note = w.files.ReadTextFile("C:\\Temp\\QV1\\Card.txt", 4096);
    ASSERT_TRUE(note);
    // The card carries the copy's mark; the note also knows the card as it was.
    EXPECT_EQ(ParseSavedCardNote(*note)->mark, DiskSignature(w));
    EXPECT_NE(DiskSignature(w), signature);
    EXPECT_EQ(ParseSavedCardNote(*note)->card.diskSignature, signature);

    // The operator presses the button again: the log starts empty.
    c.restart(w);
    w.ui.lines.clear();
    w.ui.boxes.clear();
    EXPECT_EQ(w.Run(), RestoreResult::Completed);
    const Lines m = w.Messages();
    EXPECT_NE(
        std::find(m.begin(), m.end(),
                  "::Warning:: The Project Folder saved from this drive by an earlier restore (2026-12-10 10:15:00) "
                  "in C:\\Temp\\QV1\\Project will be put back."),
        m.end());
    EXPECT_EQ(m.back(), kRestored);
    EXPECT_TRUE(w.files.Exists("e:\\Project\\screens\\s1.bmp"));
    EXPECT_TRUE(w.files.Exists("e:\\Project\\main.prj"));
    EXPECT_FALSE(w.files.Exists("C:\\Temp\\QV1"));
    EXPECT_FALSE(w.files.Exists("C:\\Temp\\QV2"));  // what the card held this time was not kept
  }
}

TEST(RestoreWorker, WaitingCopiesGoBackToTheCardThatCarriesTheirMarkOnly) {
  const std::string kWaits = "waits in C:\\Temp\\QV7\\Project";
  enum Whose { Marked, Clone, Other };
  const struct {
    const char* name;
    bool projectOnCard;
    bool preserve;
    Whose whose;
    bool putBack;       // the waiting copy ends on the card
    bool namedAsMaybe;  // named as one that may be this card's
  } cases[] = {
      {"this card's mark, no project on it", false, true, Marked, true, false},
      {"this card's mark, a project on it again", true, true, Marked, true, false},
      {"this card's mark, preservation off", false, false, Marked, false, false},
      {"saved from a card that looked the same, without the mark: a clone", false, true, Clone, false, true},
      {"a clone that holds its own project", true, true, Clone, false, true},
      {"another card's", false, true, Other, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    if (c.projectOnCard) w.WithProject();
    w.ui.values.preserveProject = c.preserve;
    w.overCardPort.putBackCommand = [](const std::string& folder) { return "put back " + folder; };
    const std::uint32_t now = DiskSignature(w);
    const std::uint32_t signature = c.whose == Other ? now + 1 : c.whose == Clone ? now : now + 2;
    const std::uint32_t mark = c.whose == Marked ? now : now + 3;
    AddWaitingCopy(w, "C:\\Temp\\QV7", signature, mark, "2026-12-01 08:00:00");
    EXPECT_EQ(w.Run(), RestoreResult::Completed);
    EXPECT_EQ(w.files.Exists("e:\\Project\\old.prj"), c.putBack);
    EXPECT_EQ(w.files.Exists("C:\\Temp\\QV7"), !c.putBack);
    const Lines m = w.Messages();
    const auto named =
        std::count_if(m.begin(), m.end(), [&](const std::string& l) { return l.find(kWaits) != std::string::npos; });
    EXPECT_EQ(named, c.putBack ? 0 : 1);
    const auto maybe = std::count_if(m.begin(), m.end(), [&](const std::string& l) {
      return l.find("does not carry its mark. To put it on this drive: put back C:\\Temp\\QV7") != std::string::npos;
    });
    EXPECT_EQ(maybe, c.namedAsMaybe ? 1 : 0);
    if (c.projectOnCard && !c.putBack) {
      EXPECT_TRUE(w.files.Exists("e:\\Project\\main.prj"));
    }
  }
}

TEST(RestoreWorker, AMarkedCopyThatCannotBePutBackKeepsTheCardAndTheCopy) {
  const struct {
    const char* name;
    std::function<void(Restore&)> spoil;
    const char* why;
  } cases[] = {
      {"its files lost their contents (a power cut before they reached the disk)",
       [](Restore& w) { w.files.zeroed.insert("c:\\temp\\qv7\\project\\old.prj"); }, "no longer holds what was saved"},
      {"a file of it is gone", [](Restore& w) { w.files.AddFile("C:\\Temp\\QV7\\Project\\new.prj", 5); },
       "no longer holds what was saved"},
      {"another restore puts it back", [](Restore& w) { w.files.heldElsewhere.insert("c:\\temp\\qv7"); },
       "another restore is putting it back"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    w.WithProject();
    AddWaitingCopy(w, "C:\\Temp\\QV7", DiskSignature(w) + 1, DiskSignature(w), "2026-12-01 08:00:00");
    c.spoil(w);
    const Sector mbr = w.card.Mbr();
    EXPECT_EQ(w.Run(), RestoreResult::Refused);
    EXPECT_EQ(w.card.Mbr(), mbr);
    EXPECT_TRUE(w.JournalOf("format").empty());
    EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV7\\Project\\old.prj"));
    EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV7\\Card.txt"));
    EXPECT_FALSE(w.files.Exists("C:\\Temp\\QV1"));  // this run's copy of the card's folder is let go
    EXPECT_TRUE(w.files.Exists("e:\\Project\\main.prj"));
    EXPECT_NE(w.Messages().back().find(c.why), std::string::npos) << w.Messages().back();
    EXPECT_EQ(w.BoxTexts().back().rfind("The Project Folder saved from the SD CARD in drive e: by an earlier", 0), 0u);
    EXPECT_FALSE(w.cardPort.held);
  }
}

TEST(RestoreWorker, AFolderAnotherUserCouldWriteIsNeverPutOnTheCard) {
  Restore w;
  AddWaitingCopy(w, "C:\\Temp\\QV9", DiskSignature(w) + 1, DiskSignature(w), "2099-01-01 00:00:00");
  w.files.notPrivate.insert("c:\\temp\\qv9");
  EXPECT_EQ(w.Run(), RestoreResult::Completed);
  EXPECT_FALSE(w.files.Exists("e:\\Project"));
  EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV9\\Project\\old.prj"));
  const Lines m = w.Messages();
  EXPECT_NE(std::find(m.begin(), m.end(),
                      "::Warning:: Not taken for a saved Project Folder: C:\\Temp\\QV9: another user may have "
                      "written to it; not trusted as a saved copy"),
            m.end());
}

TEST(RestoreWorker, ASavedCopyTheOperatorNamesGoesOnTheCardBoundToItFirst) {
  Restore w;
  w.WithProject();
  const std::uint32_t before = DiskSignature(w);
  AddWaitingCopy(w, "C:\\Temp\\QV7", before + 1, before + 2, "2026-12-01 08:00:00");  // another card's
  w.overCardPort.m_strPutBackCopy = "C:\\Temp\\QV7";
  EXPECT_EQ(w.Run(), RestoreResult::Completed);
  EXPECT_TRUE(w.files.Exists("e:\\Project\\old.prj"));
  EXPECT_FALSE(w.files.Exists("e:\\Project\\main.prj"));
  EXPECT_FALSE(w.files.Exists("C:\\Temp\\QV7"));
  EXPECT_TRUE(w.JournalOf("copy e:").empty());  // the card's own folder is not saved
  // Re-marked before formatting: the note was rewritten with the card's new mark first.
  const Lines j = w.journal;
  const auto rewritten = std::find(j.begin(), j.end(), "write C:\\Temp\\QV7\\Card.txt");
  const auto formatted = std::find(j.begin(), j.end(), "format [-e-]");
  EXPECT_LT(rewritten, formatted);
  EXPECT_NE(DiskSignature(w), before);

  Restore none;
  none.overCardPort.m_strPutBackCopy = "C:\\Temp\\QV5";
  EXPECT_EQ(none.Run(), RestoreResult::Refused);
  EXPECT_TRUE(none.JournalOf("format").empty());
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
    const char* box = "The SD CARD in drive e: holds no Project Folder, and Tessarin cannot tell";
  } cases[] = {
      {"the temporary folder cannot be listed",
       [](Restore& w) { w.files.plan = &w.faults, w.faults.op = "list-folders", w.faults.nth = 1; }, true, false},
      {"a note cannot be read", [](Restore& w) { w.files.unreadable = {"C:\\Temp\\QV8\\Card.txt"}; }, true},
      // Another user's folder is passed over with a warning: it must not
      // stop every restore.
      {"a note in another user's folder", [](Restore& w) { w.files.notPrivate = {"c:\\temp\\qv8"}; }, false},
      {"the card cannot be identified", [](Restore& w) { w.cardPort.allocationsBeforeFailure = 0; }, true},
      {"another card's copy, readable", [](Restore&) {}, false, true, false},
      // The card's own copy, which cannot be read: it is not put back, and
      // the card keeps what it has.
      {"the card's saved copy cannot be read", [](Restore& w) { w.files.unreadable = {"C:\\Temp\\QV8\\Project"}; },
       true, true, true, "The Project Folder saved from the SD CARD in drive e: by an earlier"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restore w;
    AddWaitingCopy(w, "C:\\Temp\\QV7", DiskSignature(w) + 1, DiskSignature(w) + 1, "2026-12-01 08:00:00");
    if (c.thisCardsCopy)
      AddWaitingCopy(w, "C:\\Temp\\QV8", DiskSignature(w) + 2, DiskSignature(w), "2026-12-02 08:00:00");
    const Sector mbr = w.card.Mbr();
    const Sector vbr = w.card.VolumeBoot();
    c.spoil(w);
    const RestoreResult result = w.Run();
    EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV7\\Project\\old.prj"));
    if (!c.stops) {
      EXPECT_EQ(result, RestoreResult::Completed);
      EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV8\\Card.txt") || !c.thisCardsCopy);
      if (c.thisCardsCopy) {
        const Lines m = w.Messages();
        EXPECT_NE(std::find_if(m.begin(), m.end(),
                               [](const std::string& l) {
                                 return l.rfind("::Warning:: Not taken for a saved Project Folder: C:\\Temp\\QV8", 0) ==
                                        0;
                               }),
                  m.end());
      }
      continue;
    }
    EXPECT_EQ(result, RestoreResult::Refused);
    EXPECT_EQ(w.card.Mbr(), mbr);
    EXPECT_EQ(w.card.VolumeBoot(), vbr);
    EXPECT_TRUE(w.JournalOf("format").empty());
    EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV8\\Project\\old.prj"));
    ASSERT_GE(w.ui.boxes.size(), 2u);
    EXPECT_EQ(w.ui.boxes[1].text.rfind(c.box, 0), 0u) << w.ui.boxes[1].text;
    const Lines m = w.Messages();
    EXPECT_NE(m.back().find("The drive was not changed."), std::string::npos) << m.back();
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
