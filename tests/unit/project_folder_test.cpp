#include "install/project_folder.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace tessarin::test {
namespace {

struct WithProject : World {
  WithProject() {
    files.AddFile("e:\\Project\\main.prj", 1200);
    files.AddFile("e:\\Project\\screens\\s1.bmp", 40000);
    files.AddFile("e:\\Project\\empty.txt", 0);
    files.AddDirectory("e:\\Project\\logs");
  }
};

TEST(CreateUniqueTempFolder, TakesTheFirstFreeName) {
  World w;
  w.files.AddDirectory("C:\\Temp\\QV1");
  w.files.AddFile("C:\\Temp\\QV2", 5);  // any entry of the name counts
  EXPECT_EQ(CreateUniqueTempFolder(w.files), "C:\\Temp\\QV3");
  EXPECT_TRUE(w.files.Get("C:\\Temp\\QV3")->directory);

  w.files.AddDirectory("C:\\Temp\\QV4");
  w.files.AddDirectory("C:\\Temp\\QV5");
  EXPECT_EQ(CreateUniqueTempFolder(w.files), "C:\\Temp\\QV6");
}

TEST(CreateUniqueTempFolder, ANameAnotherRestoreTookAMomentAgoIsPassedOver) {
  // Two restores at once: each sees QV1 free, only one can make it.
  World w;
  w.files.madeByOthers.insert("c:\\temp\\qv1");
  EXPECT_EQ(CreateUniqueTempFolder(w.files), "C:\\Temp\\QV2");
  EXPECT_TRUE(w.files.Get("C:\\Temp\\QV1")->directory);
}

TEST(CreateUniqueTempFolder, RemovesEveryDotTmpOfTheName) {
  World w;
  w.files.tempPath = "C:\\Users\\op\\a.tmp\\Temp\\";
  w.files.AddDirectory("C:\\Users\\op\\a.tmp\\Temp");
  w.files.AddDirectory("C:\\Users\\op\\a\\Temp");
  EXPECT_EQ(CreateUniqueTempFolder(w.files), "C:\\Users\\op\\a\\Temp\\QV1");

  w.files.tempPath = "C:\\X.TMP\\";  // the exact case only
  w.files.AddDirectory("C:\\X.TMP");
  EXPECT_EQ(CreateUniqueTempFolder(w.files), "C:\\X.TMP\\QV1");
}

TEST(CreateUniqueTempFolder, FailsWithMinusOne) {
  World w;
  w.files.tempPath.reset();
  EXPECT_EQ(CreateUniqueTempFolder(w.files), "-1");
  w.files.tempPath = "C:\\Temp\\";
  w.files.createDirectoryFails = true;
  EXPECT_EQ(CreateUniqueTempFolder(w.files), "-1");
}

TEST(CreateUniqueTempFolder, EndsWhenEverySixteenBitNameIsTaken) {
  World w;
  for (unsigned i = 1; i <= 0xFFFF; ++i) {
    static const char* hex = "0123456789abcdef";
    std::string name;
    for (unsigned v = i; v != 0; v >>= 4) name.insert(name.begin(), hex[v & 0xF]);
    w.files.nodes["c:\\temp\\qv" + name] = {true, 0, 0, {}};
  }
  EXPECT_EQ(CreateUniqueTempFolder(w.files), "-1");
}

TEST(BackupProjectFolder, CardWithoutProjectFolder) {
  World w;
  w.files.AddDirectory("C:\\Project");  // the current drive's folder is not the card's
  EXPECT_EQ(BackupProjectFolder(w.files, w.ctx.log, "[-e-]"), BackupResult::NoProjectFolder);
  EXPECT_EQ(w.Messages(), (std::vector<std::string>{"::Info:: Backing up Project Folder.",
                                                    "::Warning:: No Project Folder found on drive."}));
  EXPECT_TRUE(g_strSavedProjectFolder.empty());
  EXPECT_EQ(RestoreProjectFolder(w.files, w.ctx.log, "[-e-]"), ProjectReturn::NothingSaved);
  EXPECT_EQ(w.ui.lines.size(), 2u);
  EXPECT_TRUE(w.files.copies.empty());
}

TEST(BackupProjectFolder, SavesACompleteCopyAndRestoreBringsItBack) {
  WithProject w;
  w.files.AddDirectory("C:\\Temp\\QV1");
  ASSERT_EQ(BackupProjectFolder(w.files, w.ctx.log, "[-e-]"), BackupResult::Saved);
  EXPECT_EQ(g_strSavedProjectFolder, "C:\\Temp\\QV2");
  EXPECT_EQ(w.files.copies, std::vector<std::string>{"e:\\Project -> C:\\Temp\\QV2\\Project"});
  EXPECT_EQ(w.files.Get("C:\\Temp\\QV2\\Project\\screens\\s1.bmp")->size, 40000u);

  // The card is formatted; the installer puts its own project files there.
  for (auto it = w.files.nodes.begin(); it != w.files.nodes.end();) {
    it = it->first.rfind("e:", 0) == 0 ? w.files.nodes.erase(it) : std::next(it);
  }
  w.files.AddFile("e:\\Project\\main.prj", 10);
  w.files.AddFile("e:\\Project\\default.cfg", 7);

  EXPECT_EQ(RestoreProjectFolder(w.files, w.ctx.log, "[-e-]"), ProjectReturn::PutBack);
  EXPECT_EQ(w.files.Get("e:\\Project\\main.prj")->size, 1200u);  // replaced
  EXPECT_TRUE(w.files.Get("e:\\Project\\default.cfg"));          // kept
  EXPECT_TRUE(w.files.Get("e:\\Project\\logs")->directory);
  EXPECT_FALSE(w.files.Exists("C:\\Temp\\QV2"));
  EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV1"));
  EXPECT_TRUE(g_strSavedProjectFolder.empty());
  EXPECT_EQ(w.JournalOf("delete"), std::vector<std::string>{"delete C:\\Temp\\QV2 flags 20"});
  // Flushed before anything else happens; the note gone before the rest.
  EXPECT_EQ(w.JournalOf("flush"), std::vector<std::string>{"flush C:\\Temp\\QV2"});
  EXPECT_EQ(w.JournalOf("remove"), std::vector<std::string>{"remove C:\\Temp\\QV2\\Card.txt"});
  EXPECT_EQ(w.Messages(), (std::vector<std::string>{
                              "::Info:: Backing up Project Folder.",
                              "::Info:: Backing up Project Folder completed.",
                              "::Info:: Restoring Project Folder.",
                              "::Info:: Restoring Project Folder Completed.",
                              "::Info:: Cleaning up Temp Direcotry.",
                              "::Info:: Cleaning up Temp Direcotry Completed.",
                          }));
  EXPECT_TRUE(w.JournalOf("log ").empty());  // every line added without scrolling
}

TEST(BackupProjectFolder, AnIncompleteSaveIsAFailureThatKeepsNothingHalfDone) {
  struct Case {
    const char* name;
    std::function<void(WithProject&)> setup;
    BackupResult result;
  } cases[] = {
      {"no temporary directory", [](WithProject& w) { w.files.tempPath.reset(); }, BackupResult::NoTempFolder},
      {"folder not created", [](WithProject& w) { w.files.createDirectoryFails = true; }, BackupResult::NoTempFolder},
      {"copy fails", [](WithProject& w) { w.files.failCopyFrom = "e:\\"; }, BackupResult::CopyIncomplete},
      {"copy leaves a file out", [](WithProject& w) { w.files.dropFileFrom = "e:\\"; }, BackupResult::CopyIncomplete},
      {"copy cannot be flushed to the disk",
       [](WithProject& w) {
         static FaultPlan flush;
         flush = FaultPlan{"flush", 1, {}};
         w.files.plan = &flush;
       },
       BackupResult::NotDurable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WithProject w;
    c.setup(w);
    EXPECT_EQ(BackupProjectFolder(w.files, w.ctx.log, "[-e-]"), c.result);
    EXPECT_TRUE(g_strSavedProjectFolder.empty());
    EXPECT_FALSE(w.files.Exists("C:\\Temp\\QV1"));
    EXPECT_TRUE(w.files.Exists("e:\\Project\\main.prj"));
    EXPECT_EQ(w.Messages(), std::vector<std::string>{"::Info:: Backing up Project Folder."});
  }
}

TEST(RestoreProjectFolder, KeepsTheSavedCopyWhenTheCopyBackFails) {
  for (const char* how : {"fails", "leaves a file out"}) {
    SCOPED_TRACE(how);
    WithProject w;
    ASSERT_EQ(BackupProjectFolder(w.files, w.ctx.log, "[-e-]"), BackupResult::Saved);
    w.files.DeleteFolderTree("e:\\Project", 0);  // formatted
    if (std::string(how) == "fails") {
      w.files.failCopyFrom = "C:\\Temp\\";
    } else {
      w.files.dropFileFrom = "C:\\Temp\\";
    }
    w.ui.lines.clear();
    EXPECT_EQ(RestoreProjectFolder(w.files, w.ctx.log, "[-e-]"), ProjectReturn::NotPutBack);
    EXPECT_EQ(g_strSavedProjectFolder, "C:\\Temp\\QV1");
    EXPECT_TRUE(w.files.Exists("C:\\Temp\\QV1\\Project\\main.prj"));
    EXPECT_TRUE(w.JournalOf("delete C:").empty());
    EXPECT_EQ(w.Messages(),
              (std::vector<std::string>{"::Info:: Restoring Project Folder.",
                                        "::Warning:: Failed to restore the Project Folder to the drive."}));
  }
}

TEST(RestoreProjectFolder, DoesNothingWithoutASavedCopyAndSaysWhenItVanished) {
  struct Case {
    const char* saved;
    ProjectReturn result;
    std::vector<std::string> lines;
  } cases[] = {
      {"", ProjectReturn::NothingSaved, {}},
      {"-1", ProjectReturn::NothingSaved, {}},
      {"C:\\Temp\\QV9",
       ProjectReturn::CopyGone,
       {"::Error:: The saved copy of the Project Folder in C:\\Temp\\QV9\\Project is gone; the Project Folder was "
        "not put back on the drive."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.saved);
    World w;
    g_strSavedProjectFolder = c.saved;
    EXPECT_EQ(RestoreProjectFolder(w.files, w.ctx.log, "[-e-]"), c.result);
    EXPECT_EQ(w.Messages(), c.lines);
    EXPECT_EQ(g_strSavedProjectFolder, c.saved);
  }
}

TEST(TreeCovers, ComparesNamesWithoutCaseAndFilesBySize) {
  const std::vector<TreeEntry> original{{"a", true, 0}, {"a\\B.txt", false, 3}};
  EXPECT_TRUE(TreeCovers({{"A", true, 0}, {"A\\b.TXT", false, 3}, {"extra", false, 1}}, original));
  EXPECT_FALSE(TreeCovers({{"a", true, 0}, {"a\\B.txt", false, 2}}, original));
  EXPECT_FALSE(TreeCovers({{"a", true, 0}}, original));
  EXPECT_FALSE(TreeCovers({{"a", false, 0}, {"a\\B.txt", false, 3}}, original));
  EXPECT_TRUE(TreeCovers({}, {}));
}

}  // namespace
}  // namespace tessarin::test
