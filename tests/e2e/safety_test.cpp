// What the Linux program refuses before the question, how it holds the card
// against a second restore, how it ends when it is stopped, and inputs that
// are hostile or merely odd. A refusal leaves the card byte for byte as it
// was and exits 2.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>

#include "bootcode/boot_images.h"
#include "card/resource_port.h"
#include "e2e_support.h"

namespace e2e {
namespace {

const char kNothingChanged[] = "Nothing was changed.";
const std::string kSavedLine = "::Warning:: The Project Folder is saved in ";
const Tree kProject = {{"main.prj", "the operator's project"}, {"screens/start.bmp", std::string(20000, 's')}};

std::string Partition(const std::string& entry) { return "echo " + Quote(entry) + " | sfdisk --quiet "; }

// A mount namespace of its own in which /usr/sbin and /sbin hold nothing,
// and PATH has neither: no mkfs.fat anywhere. The command and its
// arguments follow.
const std::string kWithoutFormatter =
    "unshare -m sh -c 'mount -t tmpfs tmpfs /usr/sbin && { [ -L /sbin ] || mount -t tmpfs tmpfs /sbin; } && "
    "exec env PATH=/usr/bin:/bin \"$0\" \"$@\"'";

// An installer archive whose folder LOGS holds 70,000 files: more than a
// FAT folder's 65,536 entries. A zip of its own, without the stub: so many
// entries make it a zip64 archive, whose offsets a stub in front would
// shift.
void MakeCrowdedArchive(const fs::path& zip) {
  struct archive* out = archive_write_new();
  ASSERT_EQ(archive_write_set_format_zip(out), ARCHIVE_OK);
  ASSERT_EQ(archive_write_set_options(out, "zip:compression=store"), ARCHIVE_OK);
  ASSERT_EQ(archive_write_open_filename(out, zip.c_str()), ARCHIVE_OK);
  archive_entry* entry = archive_entry_new();
  auto add = [&](const std::string& name, const std::string& data) {
    archive_entry_clear(entry);
    archive_entry_set_pathname(entry, name.c_str());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(data.size()));
    ASSERT_EQ(archive_write_header(out, entry), ARCHIVE_OK) << archive_error_string(out);
    ASSERT_EQ(archive_write_data(out, data.data(), data.size()), static_cast<la_ssize_t>(data.size()));
  };
  add("BLDR", "loader");
  char name[32];
  for (int i = 0; i < 70000; ++i) {
    std::snprintf(name, sizeof name, "LOGS/L%05d.TXT", i);
    add(name, "");
  }
  archive_entry_free(entry);
  ASSERT_EQ(archive_write_close(out), ARCHIVE_OK) << archive_error_string(out);
  archive_write_free(out);
}

// A card and an archive that the checks before the question refuse, as one
// row of the table sets them up: on a bench whose card (with its project
// folder), archive and card definitions are the plain ones unless the row
// makes them otherwise.
struct RefusalBench {
  RefusalBench() {
    fs::create_directories(tmp);
    fs::create_directories(work);
  }
  // The card with the project folder on it, made once, of shape as it is
  // then.
  void MakeCard() {
    if (cardMade) return;
    cardMade = true;
    e2e::MakeCard(card, shape);
    WriteTree(s / "project", kProject);
    PutOnCard(card, s / "project", "Project");
  }
  // The archive the row puts there itself: no archive of system.
  fs::path OwnArchive() {
    systemArchive = false;
    return work / "wincesys.exe";
  }
  // A file the archive holds, in its order.
  void AddToSystem(const std::string& name, const std::string& contents) {
    system[name] = contents;
    order.push_back(name);
  }

  Scratch s;
  const fs::path card = s / "card.img";
  const fs::path tmp = s / "tmp";
  const fs::path work = s / "work";
  CardShape shape{96, std::nullopt, true};
  bool cardMade = false;
  Tree system = {{"BLDR", "loader"}, {"NK.BIN", std::string(5000, 'n')}};
  std::vector<std::string> order = {"BLDR", "NK.BIN"};
  bool systemArchive = true;  // the installer archive of system, in order
  bool definitions = true;    // the card definition file the program ships with
  std::string launcher;
  std::string args = "--yes --dir work card.img";
};

struct Refusal {
  const char* name;
  std::function<void(RefusalBench&)> setup;
  std::vector<std::string> messages;  // parts of standard error, in order
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

// A card image in the scratch folder with the operator's project folder
// on it (its local tree in s/project).
void MakeProjectCard(const Scratch& s, const fs::path& card) {
  MakeCard(card, {96, std::nullopt, true});
  WriteTree(s / "project", kProject);
  PutOnCard(card, s / "project", "Project");
}

// The card's partition table rewritten by sfdisk from entry.
void Repartition(RefusalBench& b, const std::string& entry) {
  b.MakeCard();
  MustShell(Partition(entry) + Quote(b.card));
}

// The type byte of the first partition entry of image.
void PartitionTypeOf(const fs::path& image, const std::string& typeByte) {
  MustShell("printf '" + typeByte + "' | dd of=" + Quote(image) + " bs=1 seek=450 conv=notrunc 2>/dev/null");
}

// The type byte of the bench's card.
void PartitionType(RefusalBench& b, const std::string& typeByte) {
  b.MakeCard();
  PartitionTypeOf(b.card, typeByte);
}

std::vector<Refusal> Refusals() {
  return {
      {"Gpt",
       [](RefusalBench& b) { Repartition(b, "label: gpt\nstart=2048, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"); },
       {"holds a GPT partition table", kNothingChanged}},
      {"Extended",
       [](RefusalBench& b) { Repartition(b, "start=2048, type=f"); },
       {"holds an extended partition (type 0F)", kNothingChanged}},
      {"Superfloppy",
       [](RefusalBench& b) {
         b.MakeCard();
         MustShell("mkfs.fat -F 32 " + Quote(b.card) + " >/dev/null");
       },
       {"holds a FAT volume without a partition table", kNothingChanged}},
      {"LinuxPartition",
       [](RefusalBench& b) { PartitionType(b, "\\x83"); },
       {"holds a partition of type 83 (Linux) as its first partition, not a FAT partition", kNothingChanged}},
      {"HiddenFat",
       [](RefusalBench& b) { PartitionType(b, "\\x1c"); },
       {"holds a hidden FAT partition (type 1C)", kNothingChanged}},
      {"SymbolicLinkInArchive",
       // A link to a file outside the card, as an archive may carry one.
       [](RefusalBench& b) {
         b.AddToSystem("link", "");
         const fs::path content = b.s / "linked";
         WriteTree(content, b.system);
         fs::remove(content / "link");
         fs::create_symlink("/etc/passwd", content / "link");
         std::string names;
         for (const std::string& n : b.order) names += " " + Quote(n);
         MustShell(std::string(TESSARIN_MAKE_SFX) + " " + Quote(TESSARIN_SFX_STUB) + " " + Quote(b.OwnArchive()) + " " +
                   Quote(content) + names);
       },
       {"cannot go onto the card, a symbolic link: link", kNothingChanged}},
      {"ColonInName",
       [](RefusalBench& b) { b.AddToSystem("NK.BIN:stream", "n"); },
       {"cannot go onto the card, a character FAT names cannot hold (':'): NK.BIN:stream", kNothingChanged}},
      {"NamesDifferOnlyInCase",
       [](RefusalBench& b) {
         b.AddToSystem("Readme.txt", "one");
         b.AddToSystem("README.TXT", "two");
       },
       {"two names that differ only in case", kNothingChanged}},
      {"EscapeSequenceInName",
       [](RefusalBench& b) { b.AddToSystem("bad\x1b]0;owned\x07name\x1b[2J", "x"); },
       {"a control character in the name: bad\\x1b]0;owned\\x07name\\x1b[2J", kNothingChanged}},
      {"DefinitionsTooLarge",
       [](RefusalBench& b) {
         b.shape.geometry = "255/63";
         b.definitions = false;
         WriteFileBytes(b.work / kDefinitionsFileName, std::string(2u << 20, ';') + "\n[CF0]\nModelNumber=x\n");
       },
       {"CFDef.ini is larger than 1 MiB", "the card reports 255 heads",
        "its geometry cannot be repaired: no card definition in CFDef.ini fits", kNothingChanged}},
      {"EmptyDir", [](RefusalBench& b) { b.args = "--yes --dir '' card.img"; }, {"--dir needs a folder"}},
      {"NoFormatter",
       [](RefusalBench& b) {
         const Output hidden = Shell(kWithoutFormatter + " sh -c '! command -v mkfs.fat'");
         if (hidden.status != 0) GTEST_SKIP() << "no mount namespace without mkfs.fat here: " << hidden.err;
         b.launcher = kWithoutFormatter;
       },
       {"mkfs.fat (from dosfstools) was not found in PATH, /usr/sbin or /sbin; install dosfstools.", kNothingChanged}},
      {"CrowdedArchiveFolder",
       [](RefusalBench& b) { MakeCrowdedArchive(b.OwnArchive()); },
       {"its folder LOGS holds more entries than a FAT folder can: they take 70,002 directory entries, a FAT folder "
        "has 65,536",
        kNothingChanged}},
      {"ProjectNameTooLong",
       // 130 letters, 260 bytes of UTF-8: a good name on the card, too long
       // for a Linux file name.
       [](RefusalBench& b) {
         b.MakeCard();
         std::string name;
         for (int i = 0; i < 130; ++i) name += "ä";
         WriteCardFile(b.card, "Project/screens/" + name, "x");
       },
       {"the card's Project folder cannot be saved: a name of 260 bytes, longer than the 255 bytes a name may have "
        "in the folder the copy goes to: Project/screens/ää",
        "run again with --no-preserve.", kNothingChanged}},
      {"ProjectChainBroken",
       [](RefusalBench& b) {
         b.MakeCard();
         BreakChain(b.card, "Project/screens/start.bmp");
       },
       {"the card's Project folder cannot be saved: its file Project/screens/start.bmp cannot be read (the card's "
        "FAT file system is damaged)",
        "run again with --no-preserve.", kNothingChanged}},
  };
}

class RefusedBeforeTheQuestion : public ::testing::TestWithParam<Refusal> {
 protected:
  // The row's bench, its card, archive and card definitions made; false
  // when the row cannot run here.
  bool Prepare(RefusalBench& b) {
    GetParam().setup(b);
    if (HasFatalFailure() || IsSkipped()) return false;
    b.MakeCard();
    if (b.systemArchive) MakeInstaller(b.work / "wincesys.exe", b.system, b.order, b.s.path());
    if (b.definitions) PutCardDefinitions(b.work);
    return !HasFatalFailure();
  }
};

TEST_P(RefusedBeforeTheQuestion, LeavesTheCardAsItWas) {
  const Refusal& c = GetParam();
  RefusalBench b;
  if (!Prepare(b)) return;
  const std::string before = FileHash(b.card);

  const Output run = RunTessarin(b.s.path(), b.tmp, b.args, b.launcher);
  EXPECT_EQ(run.status, 2) << run.err;
  std::size_t at = 0;
  for (const std::string& m : c.messages) {
    const std::size_t found = run.err.find(m, at);
    EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << m << "\n" << run.err;
    if (found != std::string::npos) at = found + m.size();
  }
  EXPECT_EQ(run.err.find("All existing files will be deleted!"), std::string::npos) << "asked: " << run.err;
  EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << "an escape sequence reached the terminal";
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(FileHash(b.card), before);
  EXPECT_TRUE(fs::is_empty(b.tmp));
}

// --check on the same card says what the restore says, word for word, and
// leaves the card and the temporary folder as they were.
TEST_P(RefusedBeforeTheQuestion, CheckGivesTheRestoresRefusal) {
  RefusalBench b;
  if (!Prepare(b)) return;
  const std::string before = FileHash(b.card);
  std::string checkArgs = b.args;
  ASSERT_EQ(checkArgs.rfind("--yes ", 0), 0u) << checkArgs;
  checkArgs.replace(0, 5, "--check");

  const Output restore = RunTessarin(b.s.path(), b.tmp, b.args, b.launcher);
  const Output check = RunTessarin(b.s.path(), b.tmp, checkArgs + " </dev/null", b.launcher);
  EXPECT_EQ(check.status, 2) << check.err;
  EXPECT_EQ(check.err, restore.err);
  EXPECT_EQ(check.err.find("would be restored"), std::string::npos) << check.err;
  EXPECT_EQ(check.out, "");
  EXPECT_EQ(FileHash(b.card), before);
  EXPECT_TRUE(fs::is_empty(b.tmp));
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusedBeforeTheQuestion, ::testing::ValuesIn(Refusals()),
                         [](const auto& info) { return std::string(info.param.name); });

// --check: the checks before the question on every card, and nothing
// else: no question (so no terminal and no --yes needed), no write to the
// card, no saved copy, no record. With several cards each verdict is a
// line of its own under its target, and the status is the worst.
TEST(Check, SaysWhetherEachCardWouldBeRestored) {
  struct Case {
    const char* name;
    std::string args;
    int status;
    std::vector<std::string> messages;  // parts of standard error
  };
  Scratch s;
  fs::create_directories(s / "tmp");
  MakeProjectCard(s, s / "good.img");
  MakeCard(s / "linux.img", {96, std::nullopt, true});
  PartitionTypeOf(s / "linux.img", "\\x83");
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}, {"NK.BIN", std::string(5000, 'n')}}, {"BLDR", "NK.BIN"},
                s.path());
  const std::string archive = (fs::canonical(s.path()) / "wincesys.exe").string();
  const std::string good = "tessarin: good.img: would be restored (system Windows CE from " + archive + ")";
  const std::string linux83 = "holds a partition of type 83 (Linux) as its first partition, not a FAT partition";
  const std::string otherDigest(64, '0');
  const std::vector<Case> cases = {
      {"OneGoodCardWithoutTerminalOrYes", "--check good.img </dev/null", 0, {good}},
      {"TheRefusalIsTheRestores", "--check linux.img </dev/null", 2, {"tessarin: ", linux83, kNothingChanged}},
      {"OneGoodOneRefused",
       "--check good.img linux.img </dev/null",
       2,
       {"good.img: " + good, "linux.img: tessarin: ", linux83}},
      // --sha256 reaches every card's check.
      {"SeveralWithAnotherDigest",
       "--check --sha256=" + otherDigest + " good.img linux.img </dev/null",
       2,
       {"good.img: tessarin: ", "is not the one expected", "--sha256 gives " + otherDigest,
        "linux.img: tessarin: ", linux83}},
      {"NoRecordToKeep", "--check --log check.log good.img", 2, {"--check records nothing", "Try 'tessarin --help'"}},
      {"NoJson", "--check --json good.img", 2, {"--check says its verdicts in lines of text"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string goodBefore = FileHash(s / "good.img");
    const std::string linuxBefore = FileHash(s / "linux.img");
    const Output run = RunTessarin(s.path(), s / "tmp", c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    for (const std::string& m : c.messages) EXPECT_NE(run.err.find(m), std::string::npos) << m << "\n" << run.err;
    EXPECT_EQ(run.err.find("All existing files will be deleted!"), std::string::npos) << "asked: " << run.err;
    EXPECT_EQ(run.out, "") << "no log, no table of results";
    EXPECT_EQ(FileHash(s / "good.img"), goodBefore);
    EXPECT_EQ(FileHash(s / "linux.img"), linuxBefore);
    EXPECT_TRUE(fs::is_empty(s / "tmp")) << "a saved copy was made";
    EXPECT_FALSE(fs::exists(s / "check.log"));
  }
}

// --sha256: the restore goes on only with the archive of that digest (in
// either case), which the service record then shows; another digest is
// refused before the question with both digests named, the card as it
// was; a digest that is not 64 hexadecimal digits is wrong usage.
TEST(Sha256, OnlyTheArchiveOfThatDigestIsInstalled) {
  struct Case {
    const char* name;
    std::function<std::string(const std::string& actual)> digest;
    int status;
    std::function<std::vector<std::string>(const std::string& actual, const std::string& archive)> messages;
  };
  auto upper = [](std::string text) {
    for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
  };
  const std::vector<Case> cases = {
      {"Right", [](const std::string& actual) { return actual; }, 0, nullptr},
      {"RightInUpperCase", [&](const std::string& actual) { return upper(actual); }, 0, nullptr},
      {"Other", [](const std::string& actual) { return std::string(actual.rbegin(), actual.rend()); }, 2,
       [](const std::string& actual, const std::string& archive) {
         return std::vector<std::string>{"the installer archive " + archive +
                                             " is not the one expected: its SHA-256 is " + actual +
                                             ", --sha256 gives " + std::string(actual.rbegin(), actual.rend()),
                                         kNothingChanged};
       }},
      {"TooShort", [](const std::string& actual) { return actual.substr(1); }, 2,
       [](const std::string&, const std::string&) {
         return std::vector<std::string>{"--sha256 needs the archive's SHA-256 as 64 hexadecimal digits",
                                         "Try 'tessarin --help'"};
       }},
      {"NotHexadecimal", [](const std::string& actual) { return "g" + actual.substr(1); }, 2,
       [](const std::string&, const std::string&) {
         return std::vector<std::string>{"--sha256 needs the archive's SHA-256 as 64 hexadecimal digits"};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch s;
    const fs::path card = s / "card.img";
    fs::create_directories(s / "tmp");
    MakeProjectCard(s, card);
    MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}, {"NK.BIN", std::string(5000, 'n')}}, {"BLDR", "NK.BIN"},
                  s.path());
    const std::string actual = MustShell("sha256sum " + Quote(s / "wincesys.exe")).substr(0, 64);
    const std::string archive = (fs::canonical(s.path()) / "wincesys.exe").string();
    const std::string before = FileHash(card);
    const Output run =
        RunTessarin(s.path(), s / "tmp", "--yes --log service.log --sha256 " + Quote(c.digest(actual)) + " card.img");
    ASSERT_EQ(run.status, c.status) << run.err;
    if (c.status == 0) {
      EXPECT_EQ(Attributes(card, "::/BLDR"), "ASHR");
      EXPECT_EQ(Digest(CardTree(card, "Project", s.path())), Digest(ReadTree(s / "project")));
      EXPECT_NE(ReadFileBytes(s / "service.log").find("sha256 " + actual), std::string::npos)
          << ReadFileBytes(s / "service.log");
      continue;
    }
    for (const std::string& m : c.messages(actual, archive))
      EXPECT_NE(run.err.find(m), std::string::npos) << m << "\n" << run.err;
    EXPECT_EQ(run.err.find("All existing files will be deleted!"), std::string::npos) << "asked: " << run.err;
    EXPECT_EQ(FileHash(card), before);
    EXPECT_TRUE(fs::is_empty(s / "tmp"));
  }
}

// The operator who chooses to go on without the unreadable project folder
// gets a restored card.
TEST(UnreadableCard, RestoredWithNoPreserve) {
  Scratch s;
  const fs::path card = s / "card.img";
  fs::create_directories(s / "tmp");
  MakeCard(card, {96, std::nullopt, true});
  WriteTree(s / "project", kProject);
  PutOnCard(card, s / "project", "Project");
  SpoilVolume(card);
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  const std::string before = FileHash(card);
  const Output refused = RunTessarin(s.path(), s / "tmp", "--yes card.img");
  EXPECT_EQ(refused.status, 2) << refused.err;
  EXPECT_NE(refused.err.find("To restore the card anyway, and lose whatever its Project folder holds, run again "
                             "with --no-preserve."),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(FileHash(card), before);
  const Output run = RunTessarin(s.path(), s / "tmp", "--yes --no-preserve card.img");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Attributes(card, "::/BLDR"), "ASHR");
  EXPECT_EQ(FsckFindings(card, s.path()), "");
}

// Two restores of one image started at the same moment: one restores the
// card, the other is refused at once and names the first; the volume is
// sound.
TEST(TwoRestores, OneRestoresTheOtherIsRefused) {
  Scratch s;
  const fs::path card = s / "card.img";
  fs::create_directories(s / "tmp1");
  fs::create_directories(s / "tmp2");
  MakeCard(card, {96, std::nullopt, true});
  WriteTree(s / "project", kProject);
  PutOnCard(card, s / "project", "Project");
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}, {"NK.BIN", std::string(300000, 'n')}}, {"BLDR", "NK.BIN"},
                s.path());
  const std::string program = Quote(TESSARIN_PROGRAM);
  MustShell("cd " + Quote(s.path()) + " && { (TMPDIR=tmp1 exec " + program +
            " --yes card.img >out1 2>err1) & p1=$!; (TMPDIR=tmp2 exec " + program +
            " --yes card.img >out2 2>err2) & p2=$!; wait $p1; echo $? >status1; wait $p2; echo $? >status2; "
            "echo $p1 >pid1; echo $p2 >pid2; }");
  auto read = [&](const std::string& name) {
    std::string t = ReadFileBytes(s / name);
    while (!t.empty() && t.back() == '\n') t.pop_back();
    return t;
  };
  const std::vector<std::string> status = {read("status1"), read("status2")};
  const int winner = status[0] == "0" ? 0 : 1;
  const int loser = 1 - winner;
  ASSERT_EQ(status[winner], "0") << read("err1") << read("err2");
  EXPECT_EQ(status[loser], "2") << read("err" + std::to_string(loser + 1));
  const std::string refusal = read("err" + std::to_string(loser + 1));
  EXPECT_NE(refusal.find("card.img is in use: process " + read("pid" + std::to_string(winner + 1)) + " (tessarin)"),
            std::string::npos)
      << refusal;
  EXPECT_EQ(read("out" + std::to_string(loser + 1)), "");
  EXPECT_EQ(FsckFindings(card, s.path()), "");
  EXPECT_EQ(Digest(CardTree(card, "Project", s.path())), Digest(ReadTree(s / "project")));
  EXPECT_EQ(Attributes(card, "::/BLDR"), "ASHR");
  EXPECT_TRUE(fs::is_empty(s / "tmp1"));
  EXPECT_TRUE(fs::is_empty(s / "tmp2"));
}

// Puts a card with the project on it, and an installer beside it, into s;
// returns what goes before the program so that it is signalled: by a
// wrapper of the formatter that runs formatterSignals, or, when there are
// none, by signal (twice) as the copy back opens the saved folder's list
// of short names.
std::string SignalledRestore(const Scratch& s, const std::string& formatterSignals, int signal) {
  fs::create_directories(s / "tmp");
  MakeCard(s / "card.img", {96, std::nullopt, true});
  WriteTree(s / "project", kProject);
  PutOnCard(s / "card.img", s / "project", "Project");
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  if (!formatterSignals.empty()) {
    WrapTool(s / "hooks", "mkfs.fat", formatterSignals, "");
    return "PATH=" + Quote(s / "hooks") + ":$PATH";
  }
  return "LD_PRELOAD=" + Quote(TESSARIN_OPEN_HOOK) +
         " ASAN_OPTIONS=verify_asan_link_order=0 TESSARIN_HOOK_SIGNAL=" + std::to_string(signal) +
         " TESSARIN_HOOK_AFTER_OPENING=/Project.names";
}

// A second interrupt, or a supervisor's one SIGTERM, stops the restore at
// the next step's boundary: the copy in progress is finished, the saved
// project folder is named by its path in the message and the last log
// line, and it is whole.
TEST(Stop, AtAStepsBoundaryWithTheSavedFolderNamed) {
  struct Case {
    const char* name;
    std::string formatterSignals;  // the formatter's wrapper: the signals it sends
    bool projectOnCard;            // the copy back was under way and finished
  };
  const Case cases[] = {
      // Signalled twice by a wrapper of the formatter, each signal once the
      // one before was taken.
      {"TwiceWhileFormatting",
       SignalProgram("INT", kFirstInterruptLine) + "; " + SignalProgram("INT", kSecondInterruptLine), false},
      // A supervisor's one SIGTERM: no warning first.
      {"OneTermWhileFormatting", SignalProgram("TERM", kSecondInterruptLine), false},
      // Signalled twice as the copy back opens the saved folder's list of
      // short names.
      {"TwiceWhileCopyingTheProjectBack", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch s;
    const fs::path card = s / "card.img";
    const std::string launcher = SignalledRestore(s, c.formatterSignals, SIGTERM);
    const Output run = RunTessarin(s.path(), s / "tmp", "--yes card.img", launcher);
    EXPECT_EQ(run.status, 130) << run.err;
    const auto log = LogMessages(run.out);
    ASSERT_FALSE(log.empty());
    ASSERT_EQ(log.back().rfind(kSavedLine, 0), 0u) << run.out;
    const fs::path saved = log.back().substr(kSavedLine.size());
    EXPECT_EQ(saved.parent_path().parent_path(), s / "tmp");
    EXPECT_EQ(Digest(ReadTree(saved)), Digest(ReadTree(s / "project")));
    EXPECT_NE(run.err.find("stopped. The card was changed and may not start; restore it again to finish the job. "
                           "Its Project folder is saved in " +
                           saved.string() + ";"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(FsckFindings(card, s.path()), "") << "no write was cut off halfway";
    if (c.formatterSignals.find("TERM") != std::string::npos) {
      EXPECT_EQ(run.err.find(kFirstInterruptLine), std::string::npos) << run.err;
    }
    if (c.projectOnCard) {
      EXPECT_EQ(Digest(CardTree(card, "Project", s.path())), Digest(ReadTree(s / "project")));
    }
  }
}

// SIGUSR1 asks for progress, as dd has it: a line on standard error with
// the step and how far it is, and the restore goes on to the end. Sent
// while the formatter runs (which, in a process group of its own, does not
// receive it) and as the copy back opens the saved folder's list of short
// names.
TEST(ProgressRequest, AnsweredWithoutStoppingTheRestore) {
  struct Case {
    const char* name;
    bool whileFormatting;
  };
  for (const Case& c : {Case{"WhileFormatting", true}, Case{"WhileCopyingTheProjectBack", false}}) {
    SCOPED_TRACE(c.name);
    Scratch s;
    const fs::path card = s / "card.img";
    const std::string launcher =
        SignalledRestore(s, c.whileFormatting ? SignalProgram("USR1", kProgressLine) : "", SIGUSR1);
    const Output run = RunTessarin(s.path(), s / "tmp", "--yes card.img", launcher);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::size_t line = run.err.find(kProgressLine);
    ASSERT_NE(line, std::string::npos) << run.err;
    if (c.whileFormatting) {
      EXPECT_EQ(run.err.compare(line, kProgressLine.size() + 6, kProgressLine + "Format"), 0) << run.err;
    }
    EXPECT_EQ(LogMessages(run.out).back(), "::Info:: System restored to FLASH successfully.") << run.out;
    EXPECT_EQ(Digest(CardTree(card, "Project", s.path())), Digest(ReadTree(s / "project")));
    EXPECT_EQ(Attributes(card, "::/BLDR"), "ASHR");
    EXPECT_EQ(FsckFindings(card, s.path()), "");
  }
}

// The system's reasons are English inside the program's English sentences,
// whatever language the environment asks for.
TEST(Refusal, SystemReasonsInEnglishWhateverTheLocale) {
  Scratch s;
  MakeCard(s / "card.img", {96, std::nullopt, true});
  // A locale of another language, installed here with the C library's
  // texts in it (the program must not show them).
  std::string other;
  std::istringstream installed(Shell("locale -a").out);
  for (std::string name; std::getline(installed, name);) {
    const std::string quoted = Quote(name);
    if (name.empty() || name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0 || name.rfind("en_", 0) == 0)
      continue;
    if (Shell("LC_ALL=" + quoted + " cat /nonexistent 2>&1").out.find("No such file or directory") ==
        std::string::npos) {
      other = name;
      break;
    }
  }
  if (other.empty())
    GTEST_SKIP() << "no locale of another language with the C library's texts translated is installed here";
  const Output run = RunTessarin(s.path(), s.path(), "--yes --dir missing card.img",
                                 "LANG=" + Quote(other) + " LC_ALL=" + Quote(other) + " LANGUAGE=" + Quote(other));
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("missing: No such file or directory"), std::string::npos) << other << ": " << run.err;
}

// With standard output, error or input closed, the log must not land in
// the first file the program opens: the card.
TEST(ClosedDescriptors, TheLogNeverLandsOnTheCard) {
  for (const char* closed : {">&-", "2>&-", ">&- 2>&-", "<&-"}) {
    SCOPED_TRACE(closed);
    Scratch s;
    const fs::path card = s / "card.img";
    fs::create_directories(s / "tmp");
    MakeCard(card, {96, std::nullopt, true});
    MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
    const Output run = Shell("cd " + Quote(s.path()) + " && TMPDIR=tmp " + Quote(TESSARIN_PROGRAM) +
                             " --yes --no-preserve card.img " + closed);
    EXPECT_EQ(run.status, 0) << run.err;
    const auto code = tessarin::EmbeddedBootImage(tessarin::IDR_MBR_CODE);
    EXPECT_EQ(ReadBytes(card, 0, code.size()), std::vector<std::uint8_t>(code.begin(), code.end()));
    EXPECT_EQ(ReadBytes(card, 446, 1)[0], 0x80);
    EXPECT_EQ(Attributes(card, "::/BLDR"), "ASHR");
    EXPECT_EQ(FsckFindings(card, s.path()), "");
  }
}

// Paths with characters that shells and configuration files treat as their
// own: as the card's path (after "--" when it starts with a dash), as
// --dir and, relative, in TMPDIR.
TEST(OddPaths, WorkAsTargetDirAndTemporaryFolder) {
  for (const char* name :
       {"with blanks", "quote'd \"twice\"", "dollar$HOME", "back`tick`", "back\\slash", "-leading dash"}) {
    SCOPED_TRACE(name);
    Scratch s;
    const fs::path folder = s / name;
    fs::create_directories(folder / "tmp");
    // The witnesses (mtools) read a plain name; the program gets the odd
    // one, a second name of the same file.
    const fs::path card = s / "card.img";
    MakeCard(card, {96, std::nullopt, true});
    fs::create_hard_link(card, folder / "card.img");
    WriteTree(s / "project", kProject);
    PutOnCard(card, s / "project", "Project");
    MakeInstaller(folder / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
    PutCardDefinitions(folder);
    const std::string relative = std::string(name) + "/";
    const Output run =
        Shell("cd " + Quote(s.path()) + " && TMPDIR=" + Quote(relative + "tmp") + " " + Quote(TESSARIN_PROGRAM) +
              " --yes --dir " + Quote(name) + " -- " + Quote(relative + "card.img"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Digest(CardTree(card, "Project", s.path())), Digest(ReadTree(s / "project")));
    EXPECT_EQ(Attributes(card, "::/BLDR"), "ASHR");
    EXPECT_TRUE(fs::is_empty(folder / "tmp"));
  }
}

// A write-protected card (a read-only loop device stands for a card with
// its lock switch set) is named as such before the question.
TEST(BlockDevice, WriteProtectedIsRefusedBeforeTheQuestion) {
  Scratch s;
  const fs::path card = s / "card.img";
  fs::create_directories(s / "tmp");
  MakeCard(card, {96, std::nullopt, true});
  const LoopDevice loop(card, /*readOnly=*/true);
  if (loop.device().empty()) GTEST_SKIP() << "no loop device to stand for a card reader: " << loop.error();
  const std::string& device = loop.device();
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  const std::string before = FileHash(card);
  const Output run = RunTessarin(s.path(), s / "tmp", "--yes " + Quote(device));
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find(device + " is write-protected"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("All existing files will be deleted!"), std::string::npos) << run.err;
  EXPECT_EQ(FileHash(card), before);
}

// A restore that stops after saving the card's project folder leaves it in
// the temporary folder with a note naming the card; the next restore of
// that card puts it back, even when the card can no longer be read. A copy
// saved from another card is named and left where it is.
TEST(SavedProjects, TheNextRestoreOfTheCardPutsThemBack) {
  enum class FirstEnd { InstallFails, Stopped, InstallFailsThenUnreadable, OtherCard };
  const struct {
    const char* name;
    FirstEnd end;
  } cases[] = {
      {"after a failed installation", FirstEnd::InstallFails},
      {"after a stop", FirstEnd::Stopped},
      {"on a card that can no longer be read", FirstEnd::InstallFailsThenUnreadable},
      {"another card's copy stays", FirstEnd::OtherCard},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch s;
    const fs::path card = s / "card.img";
    const fs::path tmp = s / "tmp";
    fs::create_directories(tmp);
    MakeCard(card, {96, std::nullopt, true});
    WriteTree(s / "project", kProject);
    PutOnCard(card, s / "project", "Project");
    MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
    std::string launcher;
    if (c.end == FirstEnd::Stopped) {
      WrapTool(s / "hooks", "mkfs.fat",
               SignalProgram("INT", kFirstInterruptLine) + "; " + SignalProgram("INT", kSecondInterruptLine), "");
      launcher = "PATH=" + Quote(s / "hooks") + ":$PATH";
    } else {
      // The card turns read-only as the installation opens the archive (the
      // checks before the question read it first): the installation fails.
      launcher = "LD_PRELOAD=" + Quote(TESSARIN_OPEN_HOOK) +
                 " ASAN_OPTIONS=verify_asan_link_order=0 TESSARIN_HOOK_CARD=" + Quote(card) +
                 " TESSARIN_HOOK_AFTER_OPENING=/wincesys.exe TESSARIN_HOOK_NTH=2";
    }
    const Output first = RunTessarin(s.path(), tmp, "--yes card.img", launcher);
    fs::permissions(card, fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(first.status, c.end == FirstEnd::Stopped ? 130 : 1) << first.err;
    const auto firstLog = LogMessages(first.out);
    ASSERT_FALSE(firstLog.empty());
    ASSERT_EQ(firstLog.back().rfind(kSavedLine, 0), 0u) << first.out;
    const fs::path saved = firstLog.back().substr(kSavedLine.size());
    EXPECT_TRUE(fs::exists(saved.parent_path() / "Card.txt"));

    fs::path next = card;
    if (c.end == FirstEnd::InstallFailsThenUnreadable) SpoilVolume(card);
    if (c.end == FirstEnd::OtherCard) {
      next = s / "other.img";
      MakeCard(next, {96, std::nullopt, true});
    }
    const Output second = RunTessarin(s.path(), tmp, "--yes " + Quote(next.filename().string()));
    EXPECT_EQ(second.status, 0) << second.err;
    const std::vector<std::string> log = LogMessages(second.out);
    const std::string putBack = "will be put back.";
    const bool announced = std::any_of(log.begin(), log.end(), [&](const std::string& l) {
      return l.find(saved.string() + " " + putBack) != std::string::npos;
    });
    if (c.end == FirstEnd::OtherCard) {
      EXPECT_FALSE(announced) << second.out;
      EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) {
        return l.rfind("::Warning:: A Project Folder saved by an earlier restore", 0) == 0 &&
               l.find("waits in " + saved.string()) != std::string::npos;
      })) << second.out;
      EXPECT_EQ(Digest(ReadTree(saved)), Digest(ReadTree(s / "project")));
      EXPECT_TRUE(CardTree(next, "Project", s.path()).empty());
      continue;
    }
    EXPECT_TRUE(announced) << second.out;
    if (c.end == FirstEnd::InstallFailsThenUnreadable) {
      // The card carries the copy's mark: what its volume holds does not
      // matter.
      EXPECT_NE(second.err.find("goes back onto it"), std::string::npos) << second.err;
    }
    EXPECT_EQ(log.back(), "::Info:: System restored to FLASH successfully.");
    EXPECT_EQ(Digest(CardTree(card, "Project", s.path())), Digest(ReadTree(s / "project")));
    EXPECT_TRUE(fs::is_empty(tmp)) << fs::directory_iterator(tmp)->path();
    EXPECT_EQ(FsckFindings(card, s.path()), "");
  }
}

}  // namespace
}  // namespace e2e
