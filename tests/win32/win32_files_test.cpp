// The file work of project preservation against the real file system and
// shell: the temporary folder's name, the copy and the delete.
#include "win32/install/win32_files.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <tuple>

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

// The names directly in a folder, sorted.
std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

// A tree's entries in a form that compares.
std::vector<std::tuple<std::string, bool, std::uint64_t>> Entries(const std::optional<std::vector<TreeEntry>>& tree) {
  std::vector<std::tuple<std::string, bool, std::uint64_t>> entries;
  if (tree) {
    for (const TreeEntry& e : *tree) entries.emplace_back(e.path, e.directory, e.size);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// A note is replaced whole or not at all, and its temporary file never
// stays behind a write that returned.
TEST(Win32Files, NotesAreWrittenBesideAndMovedOver) {
  ScratchFolder folder("durable");
  Win32Files files;
  const std::string note = folder / "Card.txt";
  const std::string temp = note + Win32Files::kWriteTextSuffix;
  struct Case {
    const char* name;
    const char* before;  // the note's text first; nullptr: no note
    bool staleTemp;      // a temporary file left by a stop
    const char* text;
  } cases[] = {
      {"a new note", nullptr, false, "Mark=1234ABCD\r\n"},
      {"a longer note is replaced whole", "Mark=1\r\nDigest=0123456789abcdef\r\nMore=lines\r\n", false, "Mark=2\r\n"},
      {"a temporary file left by a stop is taken over", "Mark=3\r\n", true, "Mark=4\r\n"},
      {"an empty note", "Mark=5\r\n", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveTree(note);
    if (c.before != nullptr) WriteFileText(note, c.before);
    if (c.staleTemp) WriteFileText(temp, "Mark=half a no");
    ASSERT_TRUE(files.WriteTextFile(note, c.text));
    EXPECT_EQ(ReadFileText(note), c.text);
    EXPECT_EQ(NamesIn(folder.path()), std::vector<std::string>{"Card.txt"});
  }

  // Nothing is left where the note cannot be written.
  EXPECT_FALSE(files.WriteTextFile(folder / "missing\\Card.txt", "x"));
  CreateDirectoryA((folder / "Sub").c_str(), nullptr);
  EXPECT_FALSE(files.WriteTextFile(folder / "Sub", "a folder is not replaced"));
  EXPECT_TRUE(IsDirectory(folder / "Sub"));
  EXPECT_EQ(NamesIn(folder.path()), (std::vector<std::string>{"Card.txt", "Sub"}));
}

TEST(Win32Files, RemovesFilesThatAreThere) {
  ScratchFolder folder("remove");
  Win32Files files;
  WriteFileText(folder / "Card.txt", "x");
  CreateDirectoryA((folder / "Sub").c_str(), nullptr);
  struct Case {
    const char* name;
    const char* path;
    bool removed;
  } cases[] = {
      {"a file", "Card.txt", true},
      {"a file that is gone already", "Card.txt", true},
      {"a file in a folder that is not there", "Gone\\Card.txt", true},
      {"a folder is no file", "Sub", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(files.RemoveFile(folder / c.path), c.removed);
  }
  EXPECT_FALSE(IsFile(folder / "Card.txt"));
  EXPECT_TRUE(IsDirectory(folder / "Sub"));
}

TEST(Win32Files, FlushesATreeAndLeavesItAsItWas) {
  ScratchFolder folder("flush");
  Win32Files files;
  const std::string copy = folder / "QV1";
  CreateDirectoryA(copy.c_str(), nullptr);
  CreateDirectoryA((copy + "\\Project").c_str(), nullptr);
  CreateDirectoryA((copy + "\\Project\\screens").c_str(), nullptr);
  WriteFileText(copy + "\\Project\\a.txt", "panel a");
  WriteFileText(copy + "\\Project\\screens\\main.bin", "main screen");
  WriteFileText(copy + "\\Project\\locked.cfg", "read-only");
  WriteFileText(copy + "\\Project.names", "a.txt\r\n");
  const std::string locked = copy + "\\Project\\locked.cfg";
  ASSERT_TRUE(SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  const DWORD lockedAttributes = GetFileAttributesA(locked.c_str());
  const auto before = Entries(files.ListTree(copy));
  ASSERT_EQ(before.size(), 6u);

  EXPECT_TRUE(files.FlushTree(copy));
  EXPECT_TRUE(files.FlushTree(copy + "\\"));
  EXPECT_TRUE(files.FlushTree(copy + "\\Project.names"));  // one file
  const std::string emptyFolder = folder / "Empty";
  CreateDirectoryA(emptyFolder.c_str(), nullptr);
  EXPECT_TRUE(files.FlushTree(emptyFolder));
  EXPECT_FALSE(files.FlushTree(folder / "missing"));

  // The same files, the same bytes, the same attributes.
  EXPECT_EQ(Entries(files.ListTree(copy)), before);
  EXPECT_EQ(ReadFileText(locked), "read-only");
  EXPECT_EQ(GetFileAttributesA(locked.c_str()), lockedAttributes);
  EXPECT_NE(lockedAttributes & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST(Win32Files, ReadsAFileInPieces) {
  ScratchFolder folder("pieces");
  Win32Files files;
  std::string big(200 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  WriteFileText(folder / "big.bin", big);
  WriteFileText(folder / "empty.bin", "");
  struct Case {
    const char* name;
    std::string path;
    bool ok;
    std::string expect;
  } cases[] = {
      {"a file larger than a piece", folder / "big.bin", true, big},
      {"an empty file", folder / "empty.bin", true, ""},
      {"a missing file", folder / "missing.bin", false, ""},
      {"a folder", folder.path(), false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string read;
    std::size_t pieces = 0;
    const bool ok = files.ReadFile(c.path, [&](const std::uint8_t* data, std::size_t size) {
      ++pieces;
      EXPECT_GT(size, 0u);
      read.append(reinterpret_cast<const char*>(data), size);
    });
    EXPECT_EQ(ok, c.ok);
    if (c.ok) {
      EXPECT_TRUE(read == c.expect) << read.size() << " bytes read";
      EXPECT_EQ(pieces > 1, c.expect.size() > 64 * 1024) << pieces << " pieces";
    }
  }
}

// A hold keeps every other holder off, in this program or another, however
// the folder's path is spelt, and ends with its release or its holder.
TEST(Win32Files, AFolderHasOneHolderAtATime) {
  ScratchFolder folder("hold");
  const std::string copy = folder / "QV1";
  const std::string other = folder / "QV2";
  CreateDirectoryA(copy.c_str(), nullptr);
  CreateDirectoryA(other.c_str(), nullptr);
  WriteFileText(folder / "file.txt", "x");
  std::string otherSpelling = copy;
  std::transform(otherSpelling.begin(), otherSpelling.end(), otherSpelling.begin(),
                 [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
  otherSpelling += "\\.";

  Win32Files first;
  Win32Files second;
  ASSERT_TRUE(first.HoldFolder(copy));
  EXPECT_FALSE(first.HoldFolder(copy)) << "held by this one already";
  EXPECT_FALSE(second.HoldFolder(copy));
  EXPECT_FALSE(second.HoldFolder(otherSpelling));
  EXPECT_TRUE(second.HoldFolder(other)) << "another folder is free";
  EXPECT_FALSE(second.HoldFolder(folder / "missing"));
  EXPECT_FALSE(second.HoldFolder(folder / "file.txt"));

  // The holder works in the folder as before: its note, its files.
  EXPECT_TRUE(first.WriteTextFile(copy + "\\Card.txt", "Mark=1\r\n"));
  EXPECT_TRUE(first.WriteTextFile(copy + "\\Card.txt", "Mark=2\r\n"));
  EXPECT_TRUE(first.FlushTree(copy));
  EXPECT_TRUE(first.RemoveFile(copy + "\\Card.txt"));

  first.ReleaseFolder(copy);
  first.ReleaseFolder(copy);  // released once only
  EXPECT_TRUE(second.HoldFolder(copy));
  second.ReleaseFolder(copy);
  {
    Win32Files gone;
    EXPECT_TRUE(gone.HoldFolder(copy));
  }
  EXPECT_TRUE(first.HoldFolder(copy)) << "the hold ends with its holder";
}

// Takes every right from everyone on a folder, as a careless or hostile
// setting would.
bool OpenToEveryone(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)", SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  const DWORD set = SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, dacl, nullptr);
  LocalFree(descriptor);
  return set == ERROR_SUCCESS;
}

TEST(Win32Files, TrustsOnlyPrivateFolders) {
  ScratchFolder folder("private");
  Win32Files files;
  ASSERT_TRUE(files.MakeDirectory(folder / "QV1"));
  EXPECT_FALSE(files.MakeDirectory(folder / "QV1")) << "a name that is taken";
  WriteFileText(folder / "QV2", "a file");
  EXPECT_FALSE(files.MakeDirectory(folder / "QV2"));
  ASSERT_TRUE(files.MakeDirectory(folder / "QV1\\Project")) << "inside a folder of its own";
  ASSERT_TRUE(CreateDirectoryA((folder / "Plain").c_str(), nullptr));
  ASSERT_TRUE(files.MakeDirectory(folder / "Open"));
  ASSERT_TRUE(OpenToEveryone(folder / "Open"));
  const std::string planted = std::string(1, kPlantedDriveLetter) + ":\\";

  struct Case {
    const char* name;
    std::string path;
    bool trusted;
    const char* why;  // a part of the reason
  } cases[] = {
      {"a folder made private", folder / "QV1", true, ""},
      {"a folder made inside it", folder / "QV1\\Project", true, ""},
      {"a folder made plainly in the user's temporary folder", folder / "Plain", true, ""},
      {"a folder everyone may change", folder / "Open", false, "may change it"},
      {"a file", folder / "QV2", false, "not a folder"},
      {"nothing", folder / "QV3", false, "not there"},
      {"a symbolic link to a folder", planted + "Linked", false, "link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why = "unset";
    EXPECT_EQ(files.IsPrivateFolder(c.path, &why), c.trusted) << why;
    if (c.trusted) {
      EXPECT_EQ(why, "unset") << "a reason only for a refusal";
    } else {
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
    EXPECT_EQ(files.IsPrivateFolder(c.path, nullptr), c.trusted);
  }
  EXPECT_TRUE(files.IsPrivateFolder(planted + "Fine", nullptr)) << "the link's target is a folder of its own";
}

// Names Windows would not make, as a damaged card or a hostile folder may
// show them, are never joined into a path: the listing, the copy and the
// flush of a tree that holds one fail, and a folder list leaves it out.
TEST(Win32Files, RefusesNamesThatAreNoPlainComponent) {
  const std::string planted = std::string(1, kPlantedDriveLetter) + ":\\";
  ASSERT_TRUE(IsDirectory(planted + "Fine")) << "the suite's fixture plants drive " << kPlantedDriveLetter;
  ScratchFolder folder("unsafe");
  Win32Files files;
  for (const char* tree : {"Odd", "Slash"}) {
    SCOPED_TRACE(tree);
    const std::string source = planted + tree;
    ASSERT_TRUE(IsDirectory(source));
    EXPECT_FALSE(files.ListTree(source).has_value());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    const std::string target = folder / tree;
    EXPECT_FALSE(files.CopyFolderTree(source, target));
    EXPECT_FALSE(files.Exists(target)) << "nothing copied";
    EXPECT_FALSE(files.FlushTree(source));
  }
  const auto fine = files.ListTree(planted + "Fine");
  ASSERT_TRUE(fine.has_value());
  EXPECT_EQ(fine->size(), 1u);

  const auto names = files.ListFolders(planted, "QV");
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(*names, std::vector<std::string>{"QVok"});
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

    EXPECT_EQ(RestoreProjectFolder(world.files, world.ctx.log, drive), ProjectReturn::PutBack);
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
