// Every port call of a whole restore fails in turn. Whatever fails, the
// operator is told, nothing leaks, the card is only changed once the
// project folder is safe, and the project folder is never lost: it ends on
// the card or in the temporary folder that the last log line names.
#include <gtest/gtest.h>

#include <cstdio>

#include "fakes.h"
#include "install/project_folder.h"
#include "restore/restore_sequence.h"
#include "restore/saved_projects.h"

namespace tessarin::test {
namespace {

const std::map<std::string, std::uint64_t> kProject = {
    {"main.prj", 1200}, {"screens\\start.bmp", 40000}, {"empty.txt", 0}, {"logs\\day1.log", 77}};

// Where the operator's project starts: on the card, or saved from this
// card by an earlier restore that stopped after formatting (the card has
// none now), with another card's copy waiting beside it.
enum class Start { OnTheCard, SavedEarlier };
constexpr const char* kEarlierCopy = "C:\\Temp\\QV7";
constexpr const char* kOtherCardsCopy = "C:\\Temp\\QV9";

struct ProjectRun : World {
  explicit ProjectRun(Start start = Start::OnTheCard) {
    if (start == Start::OnTheCard) {
      for (const auto& [name, size] : kProject) files.AddFile("e:\\Project\\" + name, size);
    } else {
      // This card carries the mark of the first copy; the other was saved
      // from a card that looked the same once, and carries another mark.
      const CardIdentity self = IdentifyCard(card.Mbr().data(), card.VolumeBoot().data(), "E:");
      for (const auto& [folder, mark] :
           {std::pair{kEarlierCopy, self.diskSignature}, std::pair{kOtherCardsCopy, self.diskSignature + 1}}) {
        for (const auto& [name, size] : kProject) files.AddFile(std::string(folder) + "\\Project\\" + name, size);
        SavedCardNote note;
        note.card = self;
        note.card.diskSignature = self.diskSignature + 2;
        note.mark = mark;
        note.savedAt = "2026-12-01 08:00:00";
        note.contents = DigestSavedCopy(files, folder);
        files.WriteTextFile(std::string(folder) + "\\" + kSavedCardNote, FormatSavedCardNote(note));
      }
    }
    installer.filesWritten = {"e:\\BLDR", "e:\\Project\\default.cfg"};
    profile.SetFile(kDefinitionsPath, DefinitionsText({kOneGigabyteCard}, "\n"));
    format.shape.heads = 255;
    mbrBefore = card.Mbr();
    vbrBefore = card.VolumeBoot();
  }
  Sector mbrBefore, vbrBefore;

  bool ProjectIn(const std::string& folder) const {
    for (const auto& [name, size] : kProject) {
      const auto n = files.Get(folder + "\\" + name);
      if (!n || n->directory || n->size != size) return false;
    }
    return true;
  }
};

TEST(FaultInjection, EveryPortCallFailingInTurnLosesNothing) {
  int injected = 0;
  for (const Start start : {Start::OnTheCard, Start::SavedEarlier}) {
    const bool earlier = start == Start::SavedEarlier;
    SCOPED_TRACE(earlier ? "saved by an earlier restore" : "on the card");
    // A clean run tells which calls a restore makes.
    ProjectRun clean(start);
    ASSERT_EQ(RestoreWorker(clean.ctx), RestoreResult::Completed);
    ASSERT_TRUE(clean.ProjectIn("e:\\Project"));
    const std::map<std::string, int> calls = clean.faults.calls;
    ASSERT_GT(calls.size(), 10u);
    if (earlier) {
      // The checks of the saved copies are part of the run.
      for (const char* op : {"list-folders", "read-text", "probe", "is-writable"}) EXPECT_EQ(calls.count(op), 1u) << op;
    }

    for (const auto& [op, count] : calls) {
      for (int nth = 1; nth <= count; ++nth) {
        SCOPED_TRACE(op + " #" + std::to_string(nth));
        ProjectRun w(start);
        w.faults.op = op;
        w.faults.nth = nth;
        const RestoreResult result = RestoreWorker(w.ctx);
        ++injected;

        // No buffer outlives the run; the card is let go unless the failed
        // step was the acquisition itself, whose leftovers the next one closes.
        EXPECT_EQ(w.device.liveBuffers, 0);
        EXPECT_LE(w.device.openHandles, 1);
        EXPECT_EQ(w.journal.back(), "idle");
        EXPECT_FALSE(w.ui.animating);

        const std::vector<std::string> lines = w.Messages();
        if (result != RestoreResult::Completed) {
          // The operator hears of it: a box beyond the question.
          EXPECT_GE(w.ui.boxes.size(), 2u);
        }

        // The card is not touched before the project folder is safe.
        const bool formatted = !w.JournalOf("format").empty();
        if (!formatted) {
          // Only the mark may have changed: the disk signature.
          Sector mbr = w.card.Mbr();
          std::copy_n(w.mbrBefore.begin() + 440, 4, mbr.begin() + 440);
          EXPECT_EQ(mbr, w.mbrBefore);
          EXPECT_EQ(w.card.VolumeBoot(), w.vbrBefore);
          EXPECT_EQ(w.ProjectIn("e:\\Project"), !earlier);
        }

        // The project folder is on the card, or waits where the log says;
        // a copy saved earlier that did not go back still waits where it was,
        // for the next restore of this card.
        const std::string named = "::Warning:: The Project Folder is saved in ";
        if (!w.ProjectIn("e:\\Project")) {
          if (earlier && !formatted) {
            EXPECT_TRUE(w.ProjectIn(std::string(kEarlierCopy) + "\\Project"));
            EXPECT_TRUE(w.files.ReadTextFile(std::string(kEarlierCopy) + "\\" + kSavedCardNote, 4096));
          } else {
            ASSERT_FALSE(lines.empty());
            ASSERT_EQ(lines.back().rfind(named, 0), 0u) << lines.back();
            EXPECT_TRUE(w.ProjectIn(lines.back().substr(named.size())));
          }
        }
        // Another card's copy is never taken, nor lost.
        if (earlier) {
          EXPECT_TRUE(w.ProjectIn(std::string(kOtherCardsCopy) + "\\Project"));
        }
        if (result == RestoreResult::Completed) {
          EXPECT_EQ(lines.back(), "::Info:: System restored to FLASH successfully.");
          EXPECT_TRUE(w.ProjectIn("e:\\Project"));
        }
      }
    }
  }
  std::printf("fault injection: %d port calls failed in turn, project folder kept every time\n", injected);
}

}  // namespace
}  // namespace tessarin::test
