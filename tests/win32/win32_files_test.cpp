// The file work of project preservation against the real file system and
// shell: the temporary folder's name, the copy and the delete.
#include "win32/install/win32_files.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "install/project_folder.h"
#include "test_helpers.h"
#include "win32_world.h"

namespace tessarin::test {
namespace {

TEST(Win32Files, TemporaryFolderTakesTheFirstFreeQvName) {
  ScratchFolder base("tempname");
  struct Case {
    const char* name;
    const char* tempDir;               // under base, what TMP names
    std::vector<const char*> folders;  // made under base first
    std::vector<const char*> files;    // likewise
    const char* expect;                // under base
  } cases[] = {
      {"empty temp", "plain", {"plain"}, {}, "plain\\QV1"},
      {"QV1 and QV2 taken", "plain", {"plain", "plain\\QV1", "plain\\QV2"}, {}, "plain\\QV3"},
      {"a file takes a name too", "plain", {"plain"}, {"plain\\QV1", "plain\\QV2.tmp"}, "plain\\QV2"},
      // Every ".tmp" goes from the name, the temp folder's own included.
      {"temp path with .tmp",
       "cards.tmp\\x.tmp.y",
       {"cards.tmp", "cards.tmp\\x.tmp.y", "cards", "cards\\x.y"},
       {},
       "cards\\x.y\\QV1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* dir : c.folders) CreateDirectoryA((base / dir).c_str(), nullptr);
    for (const char* file : c.files) WriteFileText(base / file, "x");
    ScopedEnv tmp("TMP", base / c.tempDir);
    ScopedEnv temp("TEMP", base / c.tempDir);
    Win32Files files;
    const std::string made = CreateUniqueTempFolder(files);
    EXPECT_EQ(made, base / c.expect);
    EXPECT_TRUE(IsDirectory(made));
    RemoveTree(base / "plain");
    RemoveTree(base / "cards");
    RemoveTree(base / "cards.tmp");
  }
}

TEST(Win32Files, TemporaryFolderFailsWhereNoneCanBeMade) {
  ScratchFolder base("tempname-fail");
  // The name loses ".tmp" and its folder does not exist.
  CreateDirectoryA((base / "only.tmp").c_str(), nullptr);
  ScopedEnv tmp("TMP", base / "only.tmp");
  ScopedEnv temp("TEMP", base / "only.tmp");
  Win32Files files;
  EXPECT_EQ(CreateUniqueTempFolder(files), kNoTempFolder);
}

class ShellCopy : public ::testing::Test {
 protected:
  ScratchFolder root{"shell"};
  Win32Files files;
  std::string source = root / "card\\Project";
  std::string target = root / "saved\\Project";

  void SetUp() override {
    CreateDirectoryA((root / "card").c_str(), nullptr);
    CreateDirectoryA(source.c_str(), nullptr);
    CreateDirectoryA((source + "\\sub").c_str(), nullptr);
    WriteFileText(source + "\\a.txt", "new a");
    WriteFileText(source + "\\sub\\b.txt", "new b");
    CreateDirectoryA((root / "saved").c_str(), nullptr);
  }
};

TEST_F(ShellCopy, CopiesIntoAMissingFolder) {
  ASSERT_TRUE(files.CopyFolderTree(source, target));
  EXPECT_EQ(ReadFileText(target + "\\a.txt"), "new a");
  EXPECT_EQ(ReadFileText(target + "\\sub\\b.txt"), "new b");
  // The contents, not the folder itself.
  EXPECT_FALSE(IsDirectory(target + "\\Project"));

  const auto original = files.ListTree(source);
  const auto copy = files.ListTree(target);
  ASSERT_TRUE(original && copy);
  EXPECT_EQ(original->size(), 3u);
  EXPECT_TRUE(TreeCovers(*copy, *original));
  const auto b = std::find_if(copy->begin(), copy->end(), [](const TreeEntry& e) { return e.path == "sub\\b.txt"; });
  ASSERT_NE(b, copy->end());
  EXPECT_EQ(b->size, 5u);
  EXPECT_FALSE(b->directory);
}

TEST_F(ShellCopy, ReplacesSameNamedFilesAndKeepsTheOthers) {
  CreateDirectoryA(target.c_str(), nullptr);
  WriteFileText(target + "\\a.txt", "the installer's a, longer");
  WriteFileText(target + "\\keep.txt", "keep");
  ASSERT_TRUE(files.CopyFolderTree(source, target));
  EXPECT_EQ(ReadFileText(target + "\\a.txt"), "new a");
  EXPECT_EQ(ReadFileText(target + "\\sub\\b.txt"), "new b");
  EXPECT_EQ(ReadFileText(target + "\\keep.txt"), "keep");
}

TEST_F(ShellCopy, AnEmptyFolderCopiesAsAnEmptyFolder) {
  const std::string empty = root / "card\\Empty";
  CreateDirectoryA(empty.c_str(), nullptr);
  EXPECT_TRUE(files.CopyFolderTree(empty, target));
  EXPECT_TRUE(IsDirectory(target));
  const auto copy = files.ListTree(target);
  ASSERT_TRUE(copy.has_value());
  EXPECT_TRUE(copy->empty());
  EXPECT_FALSE(files.CopyFolderTree(root / "card\\Missing", root / "saved\\Other"));
}

TEST_F(ShellCopy, DeletesAFolderTreeOnly) {
  ASSERT_TRUE(files.CopyFolderTree(source, target));
  const std::string saved = root / "saved";
  EXPECT_FALSE(files.DeleteFolderTree(target + "\\a.txt", kFofSilent | kFofNoConfirmation));  // a file
  EXPECT_TRUE(IsFile(target + "\\a.txt"));
  EXPECT_FALSE(files.DeleteFolderTree(root / "missing", kFofSilent | kFofNoConfirmation));
  EXPECT_FALSE(files.DeleteFolderTree("", kFofSilent | kFofNoConfirmation));

  EXPECT_TRUE(files.DeleteFolderTree(saved, kFofSilent | kFofNoConfirmation));
  EXPECT_FALSE(files.Exists(saved));
  EXPECT_TRUE(IsDirectory(source));  // nothing else went
}

TEST_F(ShellCopy, NeverUsesAPathCutToItsBuffer) {
  // "folder\.\.\." names the folder itself; cut anywhere it still does, so
  // a shortened request would act on the folder.
  auto dotted = [](std::string path, std::size_t length) {
    while (path.size() + 2 <= length) path += "\\.";
    return path;
  };
  const std::string saved = root / "saved";
  WriteFileText(saved + "\\old.txt", "old");

  EXPECT_FALSE(files.DeleteFolderTree(dotted(saved, Win32Files::kMaxDeletePath + 2), kFofSilent | kFofNoConfirmation));
  EXPECT_TRUE(IsFile(saved + "\\old.txt"));

  EXPECT_FALSE(files.CopyFolderTree(source, dotted(saved, Win32Files::kMaxCopyPath + 2)));
  EXPECT_FALSE(IsFile(saved + "\\a.txt"));
  EXPECT_FALSE(files.CopyFolderTree(dotted(source, Win32Files::kMaxCopyPath + 1), saved));
  EXPECT_FALSE(IsFile(saved + "\\a.txt"));
}

TEST(Win32Files, AttributesCurrentDirectoryAndReading) {
  ScratchFolder folder("attrs");
  Win32Files files;
  const std::string file = folder / "BLDR";
  WriteFileText(file, "loader");
  ASSERT_TRUE(files.SetAttributes(file, kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive));
  EXPECT_EQ(GetFileAttributesA(file.c_str()), 0x27u);
  EXPECT_FALSE(files.SetAttributes(folder / "missing", 0x27));

  {
    ScopedCurrentDirectory cd(folder.path());
    EXPECT_EQ(files.CurrentDirectory(), folder.path());
  }
  EXPECT_TRUE(files.CanOpenForReading(file));
  EXPECT_FALSE(files.CanOpenForReading(folder / "missing"));
  EXPECT_FALSE(files.CanOpenForReading(folder.path()));  // a folder is no file
  EXPECT_FALSE(files.ListTree(folder / "missing").has_value());

  const auto temp = files.TempPath();
  ASSERT_TRUE(temp.has_value());
  EXPECT_EQ(temp->back(), '\\');
}

// What the saved projects' notes need: whether a path is there (a missing
// folder on the way is "not there", not "unreadable"), the QV folders of the
// temporary folder, and small text files.
TEST(Win32Files, ProbesListsAndKeepsNotes) {
  ScratchFolder folder("notes");
  Win32Files files;
  for (const char* dir : {"QV1", "qv2", "QVX", "Other"}) CreateDirectoryA((folder / dir).c_str(), nullptr);
  WriteFileText(folder / "QV3", "a file, no folder");
  WriteFileText(folder / "QV1\\Project.txt", "x");

  EXPECT_EQ(files.Probe(folder / "QV1"), PathPresence::Present);
  EXPECT_EQ(files.Probe(folder / "QV1\\Project.txt"), PathPresence::Present);
  EXPECT_EQ(files.Probe(folder / "QV9"), PathPresence::Absent);
  EXPECT_EQ(files.Probe(folder / "QV9\\Project"), PathPresence::Absent);

  auto names = files.ListFolders(folder.path(), "QV");
  ASSERT_TRUE(names.has_value());
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"QV1", "QVX", "qv2"}));
  EXPECT_EQ(files.ListFolders(folder / "Other", "QV"),
            std::optional<std::vector<std::string>>(std::vector<std::string>{}));
  EXPECT_FALSE(files.ListFolders(folder / "missing", "QV").has_value());

  const std::string note = folder / "QV1\\Card.txt";
  ASSERT_TRUE(files.WriteTextFile(note, "line one\r\nline two\r\n"));
  EXPECT_EQ(files.ReadTextFile(note, 100), std::optional<std::string>("line one\r\nline two\r\n"));
  EXPECT_FALSE(files.ReadTextFile(note, 10).has_value());  // larger than asked for
  EXPECT_FALSE(files.ReadTextFile(folder / "missing.txt", 100).has_value());
  EXPECT_FALSE(files.WriteTextFile(folder / "missing\\Card.txt", "x"));
}

}  // namespace
}  // namespace tessarin::test

namespace tessarin::test {
namespace {

// The project folder of the test drive kept across a restore by the
// preservation steps over the real file system and shell.
TEST(Win32Files, ProjectFolderSurvivesTheRestore) {
  const std::string card = std::string(1, kTestDriveLetter) + ":\\";
  ASSERT_TRUE(IsDirectory(card)) << "the suite's fixture makes drive " << kTestDriveLetter;
  const std::string project = card + "Project";
  const std::string drive = MakeDriveEntry(static_cast<char>(kTestDriveLetter - 'A' + 'a'));
  ScratchFolder temp("preserve");
  ScopedEnv tmp("TMP", temp.path());
  ScopedEnv tempEnv("TEMP", temp.path());

  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // in the card's project
  } cases[] = {
      {"a project with a subfolder", {{"a.txt", "panel a"}, {"screens\\main.bin", "main screen"}}},
      {"an empty project", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveTree(project);
    ASSERT_TRUE(CreateDirectoryA(project.c_str(), nullptr));
    for (const auto& [name, text] : c.files) {
      if (name.find('\\') != std::string::npos) {
        CreateDirectoryA((project + "\\" + name.substr(0, name.find('\\'))).c_str(), nullptr);
      }
      WriteFileText(project + "\\" + name, text);
    }

    Win32World world;
    ASSERT_EQ(BackupProjectFolder(world.files, world.ctx.log, drive), BackupResult::Saved);
    EXPECT_EQ(g_strSavedProjectFolder, temp.path() + "\\QV1");

    // The card is formatted, and the installer brings a project file of its
    // own.
    RemoveTree(project);
    ASSERT_TRUE(CreateDirectoryA(project.c_str(), nullptr));
    WriteFileText(project + "\\a.txt", "from the installer, longer");
    WriteFileText(project + "\\installer.txt", "kept");

    EXPECT_EQ(RestoreProjectFolder(world.files, world.ctx.log, drive), 1);
    for (const auto& [name, text] : c.files) EXPECT_EQ(ReadFileText(project + "\\" + name), text) << name;
    if (c.files.empty()) {
      EXPECT_EQ(ReadFileText(project + "\\a.txt"), "from the installer, longer");
    }
    EXPECT_EQ(ReadFileText(project + "\\installer.txt"), "kept");
    EXPECT_TRUE(g_strSavedProjectFolder.empty());
    EXPECT_FALSE(world.files.Exists(temp.path() + "\\QV1")) << "the temporary copy is gone";
  }
  RemoveTree(project);
}

}  // namespace
}  // namespace tessarin::test
