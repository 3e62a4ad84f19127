// The Linux program restores real card images: for each system kind, with
// and without a project folder, with and without a geometry repair; and
// the ways a restore stops, each with its message and nothing lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <regex>
#include <string>

#include "bootcode/boot_images.h"
#include "card/file_port.h"
#include "card/resource_port.h"
#include "card/sector_layout.h"
#include "e2e_support.h"
#include "shared/restore_log_lines.h"

namespace e2e {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::vector<std::string>& kCardSteps = tessarin::test::kCardStepLines;

Bytes Image(unsigned id) {
  const auto span = tessarin::EmbeddedBootImage(id);
  return Bytes(span.begin(), span.end());
}

struct Kind {
  std::string archive;
  Tree files;
  std::vector<std::string> order;        // archive order
  std::vector<std::string> systemFiles;  // marked read-only, hidden, system, archive
  unsigned templateId;
  bool loader;
  std::string plainFile;  // a file of the archive that is not marked
};

const Kind kWinCE{"wincesys.exe",
                  {{"BLDR", std::string(3000, 'B')},
                   {"NK.BIN", std::string(70000, 'N')},
                   {"Hilfe/Einführung.txt", "ü"},
                   {"Project/main.prj", "from the installer"},
                   {"Project/default.cfg", "installer default"}},
                  {"BLDR", "NK.BIN", "Hilfe", "Project"},
                  {"BLDR"},
                  tessarin::IDR_FAT32_BOOT,
                  true,
                  "NK.BIN"};
const Kind kDos{"dossys.exe",
                {{"io.sys", std::string(40000, 'I')},
                 {"msdos.sys", "[Options]\n"},
                 {"drvspace.bin", "D"},
                 {"COMMAND.COM", std::string(5000, 'C')}},
                {"io.sys", "msdos.sys", "drvspace.bin", "COMMAND.COM"},
                {"io.sys", "msdos.sys", "drvspace.bin"},
                tessarin::IDR_FAT32_BOOT,
                false,
                "COMMAND.COM"};
const Kind kRomDos{
    "romdossys.exe",
    {{"IBMBIO.COM", std::string(20000, 'b')}, {"IBMDOS.COM", std::string(30000, 'd')}, {"COMMAND.COM", "c"}},
    {"IBMBIO.COM", "IBMDOS.COM", "COMMAND.COM"},
    {"IBMBIO.COM", "IBMDOS.COM"},
    tessarin::IDR_FAT16_BOOT,
    false,
    "COMMAND.COM"};

const Tree kProject = {
    {"main.prj", "the operator's project"},        {"screens/start.bmp", std::string(40000, 's')},
    {"screens/Long name with blanks.txt", "long"}, {"screens/Logo [1].bmp", "logo"},
    {"Übersicht Maße.txt", "names beyond ASCII"},  {"recipes/", ""},
    {"data/deep/er/values.csv", "1;2;3\n"},
};

struct RestoreCase {
  const char* name;
  const Kind* kind;
  std::uint64_t megabytes;
  bool project;
  std::optional<std::string> geometry;        // what the card reader reports
  std::optional<std::pair<int, int>> repair;  // heads, sectors per track written
};

void PrintTo(const RestoreCase& c, std::ostream* os) { *os << c.name; }

class RestoreImage : public ::testing::TestWithParam<RestoreCase> {};

TEST_P(RestoreImage, RestoresBootRecordsSystemAndProject) {
  const RestoreCase& c = GetParam();
  Scratch s;
  const fs::path card = s / "card.img";
  const fs::path work = s / "work";
  const fs::path tmp = s / "tmp";
  fs::create_directories(work);
  fs::create_directories(tmp);
  MakeCard(card, {c.megabytes, c.geometry, true});
  std::map<std::string, std::uint32_t> attributesBefore;
  if (c.project) {
    WriteTree(s / "project", kProject);
    PutOnCard(card, s / "project", "Project");
    // Attributes that local files cannot hold must survive the round trip.
    Mtools(card, "mattrib +r ::/Project/main.prj");
    Mtools(card, "mattrib +h -a '::/Project/screens/Logo \\[1\\].bmp'");
    Mtools(card, "mattrib +s ::/Project/recipes");
    for (const auto& a : ParseAttributeListing(Mtools(card, "mattrib -/ ::/Project")))
      attributesBefore[a.path] = a.attributes;
    ASSERT_EQ(attributesBefore.at("screens/Logo [1].bmp"), tessarin::kAttrHidden);
  }
  const std::set<Listed> namesBefore = c.project ? MdirListing(CardVolume(card), "Project") : std::set<Listed>{};
  MakeInstaller(work / c.kind->archive, c.kind->files, c.kind->order, s.path());
  PutCardDefinitions(work);
  const Bytes mbrBefore = ReadBytes(card, 0, 512);

  const Output run = RunTessarin(s.path(), tmp, "--yes --timings --dir work card.img");
  ASSERT_EQ(run.status, 0) << run.err;

  // What proving the card cost: the proofs are steps of their own, and the
  // last line adds them up with the boot records read back.
  const std::regex proofTimes("timings: Verifying: reading " + std::string(c.kind->archive) +
                              "'s files back from the card: [0-9.]+ s\n" +
                              (c.project ? "[\\s\\S]*timings: Verifying e:/Project on the card: [0-9.]+ s\n" : "") +
                              "[\\s\\S]*timings: total [0-9.]+ s, prescribed pauses [0-9.]+ s, waiting for the card "
                              "after formatting [0-9.]+ s, reading back [0-9.]+ s\n");
  EXPECT_TRUE(std::regex_search(run.err, proofTimes)) << run.err;
  // "reading back" is the sum of the proving steps listed above it, each
  // rounded to the millisecond.
  const std::regex stepTime("timings: (Verifying[^\n]*): ([0-9.]+) s\n");
  double proofsListed = 0;
  int proofSteps = 0;
  for (auto m = std::sregex_iterator(run.err.begin(), run.err.end(), stepTime); m != std::sregex_iterator(); ++m) {
    proofsListed += std::stod((*m)[2]);
    ++proofSteps;
  }
  EXPECT_GE(proofSteps, c.project ? 2 : 1) << run.err;
  std::smatch readingBack;
  ASSERT_TRUE(std::regex_search(run.err, readingBack, std::regex("reading back ([0-9.]+) s\n"))) << run.err;
  EXPECT_NEAR(std::stod(readingBack[1]), proofsListed, 0.0005 * (proofSteps + 1)) << run.err;

  // The log, as the dialog lists it.
  std::vector<std::string> expected = {"::Info:: Backing up Project Folder."};
  expected.push_back(c.project ? "::Info:: Backing up Project Folder completed."
                               : "::Warning:: No Project Folder found on drive.");
  expected.insert(expected.end(), kCardSteps.begin(), kCardSteps.end());
  if (c.project) {
    for (const char* line : {"::Info:: Restoring Project Folder.", "::Info:: Restoring Project Folder Completed.",
                             "::Info:: Cleaning up Temp Direcotry.", "::Info:: Cleaning up Temp Direcotry Completed."})
      expected.push_back(line);
  }
  expected.push_back("::Info:: System restored to FLASH successfully.");
  EXPECT_EQ(LogMessages(run.out), expected);
  EXPECT_NE(run.err.find("System restored to SD CARD successfully."), std::string::npos) << run.err;

  // Sector 0: our code, the first partition active, the rest as it was.
  const Bytes mbr = ReadBytes(card, 0, 512);
  const Bytes mbrCode = Image(tessarin::IDR_MBR_CODE);
  EXPECT_TRUE(std::equal(mbrCode.begin(), mbrCode.end(), mbr.begin()));
  using namespace tessarin;  // the sector layout's names
  const std::size_t active = PartitionEntry(0) + kPartitionBootIndicator;
  EXPECT_EQ(mbr[active], kActivePartition);
  // The disk signature is the card's mark when a project folder was saved.
  EXPECT_TRUE(
      std::equal(mbr.begin() + kMbrDiskSignature + 4, mbr.begin() + active, mbrBefore.begin() + kMbrDiskSignature + 4));
  EXPECT_TRUE(std::equal(mbr.begin() + active + 1, mbr.end(), mbrBefore.begin() + active + 1));

  // The volume boot sector: the template of the kind, the card's own BPB
  // (mkfs.fat's backup boot sector still holds it), repaired geometry, and
  // for Windows CE the loader.
  const std::uint64_t volume = std::uint64_t{kPartitionStart} * 512;
  const Bytes vbr = ReadBytes(card, volume, 512);
  const Bytes backup = ReadBytes(card, volume + 6 * 512, 512);
  Bytes want = Image(c.kind->templateId);
  ASSERT_EQ(want.size(), 512u);
  std::copy(backup.begin() + kCardBpbFirst, backup.begin() + kCardBpbEnd, want.begin() + kCardBpbFirst);
  if (c.repair) {
    PutLe16(want.data(), kBpbSectorsPerTrack, static_cast<std::uint16_t>(c.repair->second));
    PutLe16(want.data(), kBpbHeads, static_cast<std::uint16_t>(c.repair->first));
  }
  if (c.kind->loader) {
    const Bytes loader = Image(IDR_BLDR_LOADER);
    std::copy(loader.begin(), loader.end(), want.begin() + kLoaderOffset);
  }
  EXPECT_EQ(vbr, want);
  // mkfs.fat leaves the volume's sector 12 empty; a DOS card gets our own
  // second stage there, the other kinds nothing.
  const Bytes stage2 = ReadBytes(card, volume + 12 * 512, 512);
  EXPECT_EQ(stage2, c.kind == &kDos ? Image(tessarin::IDR_DOS_STAGE2) : Bytes(512, 0));
  if (!c.repair) {
    EXPECT_TRUE(std::equal(vbr.begin() + kBpbSectorsPerTrack, vbr.begin() + kBpbHeads + 2,
                           backup.begin() + kBpbSectorsPerTrack));
  }

  // The system files, marked.
  for (const std::string& f : c.kind->systemFiles) EXPECT_EQ(Attributes(card, "::/" + f), "ASHR") << f;
  EXPECT_EQ(Attributes(card, "::/" + c.kind->plainFile), "A") << "only the system files are marked";

  // Files of the archive keep their names, letters beyond ASCII included.
  if (c.kind->files.count("Hilfe/Einführung.txt")) {
    EXPECT_EQ(Digest(CardTree(card, "Hilfe", s.path())), Digest(Tree{{"Einführung.txt", "ü"}}));
  }

  // The project folder: what the operator had, over what the installer
  // brought; the temporary copy gone.
  if (c.project) {
    Tree want = ReadTree(s / "project");
    if (c.kind->files.count("Project/default.cfg")) want["default.cfg"] = "installer default";
    EXPECT_EQ(Digest(CardTree(card, "Project", s.path())), Digest(want));
    std::map<std::string, std::uint32_t> attributesAfter;
    for (const auto& a : ParseAttributeListing(Mtools(card, "mattrib -/ ::/Project")))
      if (attributesBefore.count(a.path)) attributesAfter[a.path] = a.attributes;
    EXPECT_EQ(attributesAfter, attributesBefore);
    // Every entry keeps the short name it had on the card.
    const std::set<Listed> namesAfter = MdirListing(CardVolume(card), "Project");
    for (const Listed& l : namesBefore) EXPECT_TRUE(namesAfter.count(l)) << l;
  }
  EXPECT_EQ(FsckFindings(card), std::vector<std::string>{});
  EXPECT_TRUE(fs::is_empty(tmp)) << "left in the temporary directory: " << fs::directory_iterator(tmp)->path();
}

INSTANTIATE_TEST_SUITE_P(
    Cards, RestoreImage,
    ::testing::Values(RestoreCase{"WinCE_Project", &kWinCE, 128, true, std::nullopt, std::nullopt},
                      RestoreCase{"WinCE_Repair", &kWinCE, 128, false, "255/63", std::pair{16, 32}},
                      RestoreCase{"Dos_ProjectRepair", &kDos, 256, true, "255/63", std::pair{16, 32}},
                      RestoreCase{"RomDos_NoProject", &kRomDos, 96, false, std::nullopt, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

void PutLe(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A zip archive whose one entry claims 4 GiB (the data is left out: only
// the headers are read before the entry is refused).
void MakeZip64Claim(const fs::path& archive, const std::string& name, std::uint64_t size) {
  std::string zip;
  PutLe(zip, 0x04034b50, 4);  // local header
  PutLe(zip, 45, 2);
  PutLe(zip, 0, 2);
  PutLe(zip, 0, 2);  // stored
  PutLe(zip, 0, 4);  // time, date
  PutLe(zip, 0, 4);  // crc
  PutLe(zip, 0xFFFFFFFF, 4);
  PutLe(zip, 0xFFFFFFFF, 4);
  PutLe(zip, name.size(), 2);
  PutLe(zip, 20, 2);
  zip += name;
  PutLe(zip, 1, 2);  // zip64 extra: sizes
  PutLe(zip, 16, 2);
  PutLe(zip, size, 8);
  PutLe(zip, size, 8);
  const std::uint64_t directory = zip.size();
  PutLe(zip, 0x02014b50, 4);  // central directory
  PutLe(zip, 45, 2);
  PutLe(zip, 45, 2);
  PutLe(zip, 0, 2);
  PutLe(zip, 0, 2);
  PutLe(zip, 0, 4);
  PutLe(zip, 0, 4);
  PutLe(zip, 0xFFFFFFFF, 4);
  PutLe(zip, 0xFFFFFFFF, 4);
  PutLe(zip, name.size(), 2);
  PutLe(zip, 28, 2);
  PutLe(zip, 0, 2);  // comment
  PutLe(zip, 0, 2);  // disk
  PutLe(zip, 0, 2);  // internal attributes
  PutLe(zip, 0, 4);  // external attributes
  PutLe(zip, 0xFFFFFFFF, 4);
  zip += name;
  PutLe(zip, 1, 2);
  PutLe(zip, 24, 2);
  PutLe(zip, size, 8);
  PutLe(zip, size, 8);
  PutLe(zip, 0, 8);  // the local header's offset
  const std::uint64_t directorySize = zip.size() - directory;
  const std::uint64_t end64 = zip.size();
  PutLe(zip, 0x06064b50, 4);  // zip64 end of central directory
  PutLe(zip, 44, 8);
  PutLe(zip, 45, 2);
  PutLe(zip, 45, 2);
  PutLe(zip, 0, 4);
  PutLe(zip, 0, 4);
  PutLe(zip, 1, 8);
  PutLe(zip, 1, 8);
  PutLe(zip, directorySize, 8);
  PutLe(zip, directory, 8);
  PutLe(zip, 0x07064b50, 4);  // its locator
  PutLe(zip, 0, 4);
  PutLe(zip, end64, 8);
  PutLe(zip, 1, 4);
  PutLe(zip, 0x06054b50, 4);  // end of central directory
  PutLe(zip, 0, 2);
  PutLe(zip, 0, 2);
  PutLe(zip, 0xFFFF, 2);
  PutLe(zip, 0xFFFF, 2);
  PutLe(zip, 0xFFFFFFFF, 4);
  PutLe(zip, 0xFFFFFFFF, 4);
  PutLe(zip, 0, 2);
  WriteFileBytes(archive, zip);
}

// The ways a restore stops. Each shows its message; the card is untouched
// when the stop comes before formatting, and the project folder the card
// held waits, complete, in the temporary folder the last log line names.
// Each row sets its restore up beside its expectations: on a bench whose
// card, project folder, archive and card definitions are the plain ones
// unless the row makes them otherwise.
struct StopBench {
  StopBench() {
    fs::create_directories(work);
    fs::create_directories(tmp);
  }
  ~StopBench() {
    if (lockFd >= 0) close(lockFd);
    if (!mounted.empty()) Shell("umount " + Quote(mounted));
  }
  StopBench(const StopBench&) = delete;
  StopBench& operator=(const StopBench&) = delete;

  // The card, with the project folder on it unless projectOnCard is false;
  // made once, from shape and project as they are then.
  void MakeCard() {
    if (cardMade) return;
    cardMade = true;
    e2e::MakeCard(card, shape);
    WriteTree(s / "project", project);
    if (projectOnCard) PutOnCard(card, s / "project", "Project");
  }
  // The archive the row puts there itself, or leaves out: no plain one.
  fs::path OwnArchive() {
    plainArchive = false;
    return work / "wincesys.exe";
  }
  // The tools in hooks go first on PATH.
  void HooksOnPath() { launcher = "PATH=" + Quote(hooks) + ":$PATH"; }
  // The formatter wrapped: shell lines before and after it (WrapTool).
  void WrapFormatter(const std::string& before, const std::string& after) {
    WrapTool(hooks, "mkfs.fat", before, after);
    HooksOnPath();
  }
  // The card turns read-only as the restore opens a file (the open hook),
  // for an unprivileged user: the nth opening of a path ending in suffix.
  void ReadOnlyAfterOpening(const std::string& suffix, int nth) {
    launcher = "LD_PRELOAD=" + Quote(TESSARIN_OPEN_HOOK) +
               " ASAN_OPTIONS=verify_asan_link_order=0 TESSARIN_HOOK_CARD=" + Quote(card) +
               " TESSARIN_HOOK_AFTER_OPENING=" + suffix + " TESSARIN_HOOK_NTH=" + std::to_string(nth);
    asUnprivilegedUser = true;
  }
  // The card reader changes what it is given (the garbling shim's settings).
  void Garble(const std::string& settings) {
    launcher = "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" + Quote(TESSARIN_GARBLE_WRITES) +
               " TESSARIN_GARBLE_FILE=" + Quote(card) + " " + settings;
  }

  Scratch s;
  const fs::path card = s / "card.img";
  const fs::path work = s / "work";
  const fs::path tmp = s / "tmp";
  const fs::path hooks = s / "hooks";
  CardShape shape{96, std::nullopt, true};
  Tree project = {{"main.prj", "project"}, {"screens/a.bmp", std::string(5000, 'a')}};
  bool projectOnCard = true;
  bool cardMade = false;
  bool plainArchive = true;  // the installer archive of BLDR alone
  bool definitions = true;   // the card definition file the program ships with
  bool asUnprivilegedUser = false;
  std::string launcher;
  std::string args = "--yes --dir work card.img";
  int lockFd = -1;   // another program's lock on the card, held through the run
  fs::path mounted;  // a file system mounted for the row, unmounted at the end
};

// An archive of BLDR and 300,000 bytes of NK.BIN.
fs::path ArchiveWithSystemImage(StopBench& b) {
  const fs::path archive = b.OwnArchive();
  MakeInstaller(archive, {{"BLDR", "loader"}, {"NK.BIN", Noise(300000, 7)}}, {"BLDR", "NK.BIN"}, b.s.path());
  return archive;
}

// What the card is after the stop.
enum class CardAfter {
  Untouched,  // byte for byte as it was
  Sound,      // changed, and whatever was written, its volume passes fsck
  Gone,       // deleted or cut by the row itself: nothing to look at
};

struct FailureCase {
  const char* name;
  std::function<void(StopBench&)> setup;
  int status;
  std::vector<std::string> messages;  // parts of standard error, in order
  CardAfter card;
  bool projectSaved;
  // What else the row's stop must show.
  std::function<void(StopBench&, const Output&)> alsoCheck = {};
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

const char kUnzipFailed[] = "Error returned from WinZip while decompressing files.";
const char kNotInstallable[] = "wincesys.exe cannot be installed";
const char kNothingChanged[] = "Nothing was changed.";
const char kFormatFailed[] = "Failed to Format the Drive.";

std::vector<FailureCase> FailureCases() {
  return {
      // Found before the question: the card stays as it was.
      {"NoArchive",
       [](StopBench& b) { b.OwnArchive(); },
       2,
       {"wincesys.exe cannot be installed: it cannot be opened: No such file or directory", kNothingChanged},
       CardAfter::Untouched,
       false},
      {"DamagedArchive",
       [](StopBench& b) {
         WriteFileBytes(b.OwnArchive(), ReadFileBytes(TESSARIN_SFX_STUB) + "PK\003\004 this is no zip archive");
       },
       2,
       {kNotInstallable, kNothingChanged},
       CardAfter::Untouched,
       false},
      {"EscapingArchive",
       // An entry that would land beside the unpacking folder.
       [](StopBench& b) {
         WriteTree(b.s / "evil", {{"BLDR", "loader"}, {"outside.txt", "planted"}});
         MustShell("cd " + Quote(b.s / "evil") +
                   " && bsdtar --format zip -P -s ',^outside,../outside,' -cf ../evil.zip BLDR outside.txt && cat " +
                   Quote(TESSARIN_SFX_STUB) + " ../evil.zip > " + Quote(b.OwnArchive()));
       },
       2,
       {kNotInstallable, "a path out of the card's root", kNothingChanged},
       CardAfter::Untouched,
       false,
       [](StopBench& b, const Output& run) {
         EXPECT_FALSE(fs::exists(b.tmp / "outside.txt"));
         EXPECT_NE(run.err.find("../outside.txt"), std::string::npos) << run.err;
       }},
      {"ProjectDoesNotFit",
       // The system fits, the project folder after it no longer does.
       [](StopBench& b) {
         b.shape.megabytes = 72;
         b.project["video/intro.avi"] = std::string(20u << 20, 'v');
         MakeInstaller(b.OwnArchive(), {{"BLDR", "loader"}, {"NK.BIN", std::string(55u << 20, '\0')}},
                       {"BLDR", "NK.BIN"}, b.s.path());
       },
       4,
       {"copying to e:/Project on the card failed"},
       CardAfter::Sound,
       true,
       [](StopBench& b, const Output& run) {
         // The file that does not fit stays behind, named in the log; the
         // others go back all the same.
         const auto log = LogMessages(run.out);
         EXPECT_NE(
             std::find(log.begin(), log.end(),
                       "::Warning:: Not put back on the drive: e:/Project/video/intro.avi (no space left on the card)"),
             log.end())
             << run.out;
         const Tree back = CardTree(b.card, "Project", b.s.path());
         EXPECT_EQ(back.count("main.prj"), 1u);
         EXPECT_EQ(back.count("screens/a.bmp"), 1u);
       }},
      {"ArchiveEntryOf4GiB",
       // An entry FAT cannot hold.
       [](StopBench& b) { MakeZip64Claim(b.OwnArchive(), "NK.BIN", std::uint64_t{4} << 30); },
       2,
       {"a file of 4 GiB or more, larger than FAT can hold: NK.BIN", kNothingChanged},
       CardAfter::Untouched,
       false},
      // A card whose files cannot be read is no card without a project.
      {"NoFatOnPartition",
       [](StopBench& b) {
         b.MakeCard();
         SpoilVolume(b.card);
       },
       2,
       {"the card's files cannot be read (the card's partition holds no FAT file system), so its "
        "Project folder cannot be saved",
        "run again with --no-preserve", kNothingChanged},
       CardAfter::Untouched,
       false},
      {"BothFatsDamaged",
       // The first sector of either FAT zeroed: reserved sectors and FAT
       // size from the boot sector.
       [](StopBench& b) {
         b.MakeCard();
         const std::string volume = std::to_string(std::uint64_t{kPartitionStart} * 512);
         MustShell("card=" + Quote(b.card) + "; reserved=$(od -An -tu2 -j $((" + volume +
                   " + 14)) -N2 \"$card\"); size=$(od -An -tu4 -j $((" + volume +
                   " + 36)) -N4 \"$card\"); for fat in $reserved $((reserved + size)); do dd if=/dev/zero "
                   "of=\"$card\" bs=512 seek=$((" +
                   std::to_string(kPartitionStart) + " + fat)) count=1 conv=notrunc status=none; done");
       },
       2,
       {"the card's files cannot be read (the card's FAT file system is damaged)", "run again with --no-preserve",
        kNothingChanged},
       CardAfter::Untouched,
       false},
      {"NoDefinitionsForRepair",
       [](StopBench& b) {
         b.shape.geometry = "255/63";
         b.definitions = false;
       },
       2,
       {"its geometry cannot be repaired: The SD CARD definition file is not present. ", kNothingChanged},
       CardAfter::Untouched,
       false},
      {"OutsideSizeWindow",
       [](StopBench& b) { b.shape.megabytes = 48; },
       2,
       {"Tessarin only supports disk sizes between 64MB and 4GB.", kNothingChanged},
       CardAfter::Untouched,
       false},
      {"ArchiveTooBig",
       [](StopBench& b) {
         b.shape.megabytes = 72;
         MakeInstaller(b.OwnArchive(), {{"BLDR", "loader"}, {"NK.BIN", std::string(80u << 20, '\0')}},
                       {"BLDR", "NK.BIN"}, b.s.path());
       },
       2,
       {"the system does not fit on the card", kNothingChanged},
       CardAfter::Untouched,
       false},
      {"ReadOnlyImage",
       [](StopBench& b) {
         b.MakeCard();
         fs::permissions(b.card, fs::perms::owner_read | fs::perms::group_read);
       },
       2,
       {"is write-protected", kNothingChanged},
       CardAfter::Untouched,
       false},
      {"ImageLockedByOther",
       [](StopBench& b) {
         b.MakeCard();
         b.lockFd = open(b.card.c_str(), O_RDONLY | O_CLOEXEC);
         ASSERT_EQ(flock(b.lockFd, LOCK_EX), 0);
       },
       2,
       {"card.img is in use: process " + std::to_string(getpid()), kNothingChanged},
       CardAfter::Untouched,
       false},
      {"NoTerminal",
       [](StopBench& b) { b.args = "--dir work card.img"; },
       2,
       {"no terminal to confirm"},
       CardAfter::Untouched,
       false},
      {"NoPartitionTable",
       [](StopBench& b) {
         b.projectOnCard = false;
         b.MakeCard();
         MustShell("dd if=/dev/zero of=" + Quote(b.card) + " bs=512 count=1 conv=notrunc 2>/dev/null");
       },
       2,
       {"no partition table"},
       CardAfter::Untouched,
       false},
      // Archives damaged in other ways.
      {"TruncatedArchive",
       // Cut inside NK.BIN: the directory at the end is gone.
       [](StopBench& b) {
         const fs::path archive = ArchiveWithSystemImage(b);
         fs::resize_file(archive, fs::file_size(archive) * 2 / 3);
       },
       2,
       {kNotInstallable, kNothingChanged},
       CardAfter::Untouched,
       false},
      {"GarbageAfterStub",
       [](StopBench& b) { WriteFileBytes(b.OwnArchive(), ReadFileBytes(TESSARIN_SFX_STUB) + Noise(100000, 11)); },
       2,
       {kNotInstallable, kNothingChanged},
       CardAfter::Untouched,
       false},
      {"StubOnly",
       [](StopBench& b) { fs::copy_file(TESSARIN_SFX_STUB, b.OwnArchive()); },
       2,
       {kNotInstallable, kNothingChanged},
       CardAfter::Untouched,
       false},
      {"CorruptedEntry",
       // A few bytes of NK.BIN's data changed; the directory is whole.
       [](StopBench& b) {
         const fs::path archive = ArchiveWithSystemImage(b);
         MustShell("printf 'XXXXXXXX' | dd of=" + Quote(archive) +
                   " bs=1 seek=" + std::to_string(fs::file_size(archive) / 2) + " conv=notrunc 2>/dev/null");
       },
       2,
       {kNotInstallable, "its entry NK.BIN is damaged", kNothingChanged},
       CardAfter::Untouched,
       false},
      // The card changes under the restore, after formatting.
      {"ReadOnlyWhileInstalling",
       // The installer step opens the archive first; the checks before
       // the question read it once already.
       [](StopBench& b) { b.ReadOnlyAfterOpening("/wincesys.exe", 2); },
       1,
       {"Permission denied", kUnzipFailed},
       CardAfter::Sound,
       true},
      {"ReadOnlyWhileRestoringProject",
       // The copy back opens the list of short names beside the saved
       // copy first; the digest of the saved copy reads it once before
       // formatting.
       [](StopBench& b) { b.ReadOnlyAfterOpening("/Project.names", 2); },
       4,
       {"copying to e:/Project on the card failed", "Permission denied"},
       CardAfter::Sound,
       true},
      {"ImageDeletedAfterFormat",
       [](StopBench& b) { b.WrapFormatter("", "rm -f " + Quote(b.card)); },
       1,
       {"the card does not hold a new volume", "No such file or directory", kFormatFailed},
       CardAfter::Gone,
       true},
      {"ImageTruncatedAfterFormat",
       // The partition table stays, the volume is gone.
       [](StopBench& b) {
         b.WrapFormatter("", "truncate -s " + std::to_string(kPartitionStart * 512) + " " + Quote(b.card));
       },
       1,
       {"the card does not hold a new volume", kFormatFailed},
       CardAfter::Gone,
       true},
      // A formatter that reports success and leaves the card's old volume,
      // or a new one that is not empty.
      {"FormatterDoesNothing",
       [](StopBench& b) {
         StandInTool(b.hooks, "mkfs.fat", "exit 0");
         b.HooksOnPath();
       },
       1,
       {"mkfs.fat reported success but the card does not hold a new volume: its serial number is ", kFormatFailed},
       CardAfter::Sound,
       true},
      {"FormatterLeavesAFile",
       [](StopBench& b) {
         b.WrapFormatter("", "echo stray > " + Quote(b.s / "stray.txt") + " && MTOOLS_SKIP_CHECK=1 mcopy -i " +
                                 Quote(CardVolume(b.card)) + " " + Quote(b.s / "stray.txt") + " ::/stray.txt");
       },
       1,
       {"mkfs.fat reported success but the card does not hold a new volume: its root folder holds \"stray.txt\"",
        kFormatFailed},
       CardAfter::Sound,
       true},
      {"PathTooLongForTemp",
       // 45 folders of 100 characters: the card holds them, a Linux path
       // ends at 4096 bytes.
       [](StopBench& b) {
         b.MakeCard();
         MustShell("export LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1; card=" + Quote(CardVolume(b.card)) +
                   "; p=::/Project; for i in $(seq -w 1 45); do p=\"$p/Folder $i $(printf '%090d' 0)\"; "
                   "mmd -i \"$card\" \"$p\" || exit 1; done; mcopy -i \"$card\" " +
                   Quote((b.s / "project" / "main.prj").string()) + " \"$p/end.txt\"");
       },
       2,
       {"the card's Project folder cannot be saved: a path of ",
        "bytes in the folder the copy goes to, longer than the 4095 bytes a path may have: Project/Folder 01 ",
        "run again with --no-preserve.", kNothingChanged},
       CardAfter::Untouched,
       false},
      {"TempFillsWithProject",
       // The temporary folder's file system fills with the project's copy.
       [](StopBench& b) {
         const Output mounted = Shell("mount -t tmpfs -o size=2m tessarin-e2e " + Quote(b.tmp));
         if (mounted.status != 0) GTEST_SKIP() << "no small file system for the temporary folder: " << mounted.err;
         b.mounted = b.tmp;
         b.project["video/intro.avi"] = std::string(3u << 20, 'v');
       },
       1,
       {"No space left on device", "Failed to back up the Project Folder.", "The drive has not been changed."},
       CardAfter::Untouched,
       false},
      // The card reader changes a boot record as it writes it, and says
      // nothing: the active flag of sector 0 (its first write is the
      // card's mark), a byte of the boot sector's code.
      {"MbrWriteGarbled",
       [](StopBench& b) { b.Garble("TESSARIN_GARBLE_AT=446 TESSARIN_GARBLE_SKIP=1"); },
       1,
       {"Cannot open or read destination drive."},
       CardAfter::Sound,
       true},
      {"BootSectorWriteGarbled",
       [](StopBench& b) { b.Garble("TESSARIN_GARBLE_AT=" + std::to_string(kPartitionStart * 512 + 100)); },
       1,
       {"Error\n\nThe card did not keep what was written: it reads back different."},
       CardAfter::Sound,
       true},
      // Likewise a file of the system as it is installed, and a file of the
      // project folder as it goes back: the card gives back something else.
      {"InstalledFileGarbled",
       [](StopBench& b) {
         MakeInstaller(b.OwnArchive(),
                       {{"BLDR", "loader"}, {"NK.BIN", Noise(100000, 3) + "system-image-mark" + Noise(1000, 4)}},
                       {"BLDR", "NK.BIN"}, b.s.path());
         b.Garble("TESSARIN_GARBLE_MARK=system-image-mark");
       },
       1,
       {"the card does not hold what was installed: NK.BIN: its contents differ from what was written", kUnzipFailed},
       CardAfter::Sound,
       true},
      {"SystemFileMarkLost",
       // BLDR's entry as the marking writes it (0x27): read-only is lost.
       [](StopBench& b) {
         b.Garble("TESSARIN_GARBLE_MARK=\"BLDR       '\" TESSARIN_GARBLE_MARK_BYTE=11 TESSARIN_GARBLE_XOR=01");
       },
       1,
       {"the card does not hold what was installed: BLDR: attributes 26 on the card, 27 were written", kUnzipFailed},
       CardAfter::Sound,
       true},
      {"ProjectFileGarbled",
       [](StopBench& b) {
         b.project["recipes/Rezept Nummer 1.csv"] = std::string(3000, 'r') + "project-file-mark";
         b.Garble("TESSARIN_GARBLE_MARK=project-file-mark");
       },
       4,
       {"copying to e:/Project on the card failed: the card gives back 1 entry different from the saved copy"},
       CardAfter::Sound,
       true},
      {"NameTooLongForTemp",
       // 200 letters are a good long name on the card, 400 bytes in UTF-8:
       // beyond what a Linux file name may hold. Written by our FAT layer:
       // mtools 4.0.32 spoils the end of so long a name beyond ASCII.
       [](StopBench& b) {
         b.MakeCard();
         std::string name;
         for (int i = 0; i < 200; ++i) name += "é";
         WriteCardFile(b.card, "Project/" + name, "project");
       },
       2,
       {"the card's Project folder cannot be saved: a name of 400 bytes, longer than the 255 bytes a name may have "
        "in the folder the copy goes to: Project/éé",
        "run again with --no-preserve.", kNothingChanged},
       CardAfter::Untouched,
       false},
  };
}

class RestoreStops : public ::testing::TestWithParam<FailureCase> {};

TEST_P(RestoreStops, WithItsMessageAndNothingLost) {
  const FailureCase& c = GetParam();
  StopBench b;
  c.setup(b);
  if (HasFatalFailure() || IsSkipped()) return;
  b.MakeCard();
  if (b.plainArchive) MakeInstaller(b.work / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, b.s.path());
  if (b.definitions) PutCardDefinitions(b.work);
  if (b.asUnprivilegedUser) b.launcher += " " + AsUnprivilegedUser(b.s.path());
  const std::string before = FileHash(b.card);

  const Output run = RunTessarin(b.s.path(), b.tmp, b.args, b.launcher);

  EXPECT_EQ(run.status, c.status) << run.err;
  std::size_t at = 0;
  for (const std::string& m : c.messages) {
    const std::size_t found = run.err.find(m, at);
    EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << m << "\n" << run.err;
    if (found != std::string::npos) at = found + m.size();
  }
  if (c.card == CardAfter::Untouched) {
    EXPECT_EQ(FileHash(b.card), before);
  } else if (c.card == CardAfter::Sound) {
    // Whatever the restore wrote before it stopped, the volume is sound.
    fs::permissions(b.card, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(FsckFindings(b.card), std::vector<std::string>{});
  }
  if (c.alsoCheck) c.alsoCheck(b, run);

  const std::string savedLine = "::Warning:: The Project Folder is saved in ";
  const auto log = LogMessages(run.out);
  if (c.projectSaved) {
    ASSERT_FALSE(log.empty());
    ASSERT_EQ(log.back().rfind(savedLine, 0), 0u) << log.back();
    const fs::path saved = log.back().substr(savedLine.size());
    EXPECT_EQ(saved.parent_path().parent_path(), b.tmp);
    EXPECT_EQ(Digest(ReadTree(saved)), Digest(ReadTree(b.s / "project")));
  } else {
    EXPECT_TRUE(fs::is_empty(b.tmp));
  }
}

INSTANTIATE_TEST_SUITE_P(Failures, RestoreStops, ::testing::ValuesIn(FailureCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// On a terminal the operator is asked, and No is the default; the target
// behind drive e: is named before the question. A Yes runs the restore
// with its progress on the terminal.
TEST(Confirmation, OnATerminalNoIsTheDefault) {
  struct Case {
    const char* answer;
    int status;
  };
  const Case cases[] = {{"n\\n", 3}, {"\\n", 3}, {"", 3}, {"maybe\\n", 3}, {"Yes\\n", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("answer '") + c.answer + "'");
    Scratch s;
    const fs::path card = s / "card.img";
    fs::create_directories(s / "tmp");
    MakeCard(card, {96, std::nullopt, true});
    MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
    const std::string before = FileHash(card);
    // script gives the program a terminal; what it shows comes back on
    // script's output.
    const Output run = Shell("cd " + Quote(s.path()) + " && printf '" + c.answer + "' | TMPDIR=" + Quote(s / "tmp") +
                             " script -qec " + Quote(Quote(TESSARIN_PROGRAM) + " card.img") + " /dev/null");
    EXPECT_EQ(run.status, c.status) << run.out;
    const std::size_t named = run.out.find("drive e: is " + card.string());
    const std::size_t asked = run.out.find("system to the SD CARD in drive e:?");
    EXPECT_NE(named, std::string::npos) << run.out;
    EXPECT_LT(named, asked) << run.out;
    if (c.status == 3) {
      EXPECT_EQ(FileHash(card), before);
      EXPECT_EQ(run.out.find("::Info::"), std::string::npos) << run.out;
    } else {
      EXPECT_NE(run.out.find("\r\033[K| Formatting"), std::string::npos) << "no progress shown";
      EXPECT_NE(run.out.find("::Info:: System restored to FLASH successfully."), std::string::npos) << run.out;
      EXPECT_EQ(FsckFindings(card), std::vector<std::string>{});
    }
  }
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// The installer archive is looked for as Windows looks for it: any entry
// of that name, file or folder, in any case. A folder named dossys.exe
// selects DOS (and cannot be run); an archive copied as ROMDOSSYS.EXE is
// found and run.
TEST(SystemKind, ArchivesAreFoundAsWindowsFindsThem) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& work, const fs::path& scratch)> setup;
    const char* system;  // as the program names it on standard error
    int status;
  };
  const Case cases[] = {
      // Refused before the question, by the name of the DOS archive.
      {"folder named dossys.exe", [](const fs::path& w, const fs::path&) { fs::create_directories(w / "dossys.exe"); },
       "/dossys.exe cannot be installed: it is a folder, not an archive", 2},
      {"archive in upper case",
       [](const fs::path& w, const fs::path& scratch) {
         MakeInstaller(w / "ROMDOSSYS.EXE", {{"IBMBIO.COM", "b"}, {"IBMDOS.COM", "d"}}, {"IBMBIO.COM", "IBMDOS.COM"},
                       scratch);
       },
       "system ROM-DOS from", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch s;
    const fs::path card = s / "card.img";
    fs::create_directories(s / "work");
    fs::create_directories(s / "tmp");
    MakeCard(card, {96, std::nullopt, true});
    c.setup(s / "work", s.path());
    PutCardDefinitions(s / "work");
    const Output run = RunTessarin(s.path(), s / "tmp", "--yes --no-preserve --dir work card.img");
    EXPECT_NE(run.err.find(c.system), std::string::npos) << run.err;
    EXPECT_EQ(run.status, c.status) << run.err;
    if (c.status == 0) {
      EXPECT_EQ(Attributes(card, "::/IBMBIO.COM"), "ASHR");
    }
  }
}

// A card as a block device (a loop device over an image): held with
// O_EXCL, so that a device another program holds exclusively is refused;
// restored through the whole disk otherwise.
TEST(BlockDevice, HeldExclusivelyAndRestoredThroughTheWholeDisk) {
  Scratch s;
  const fs::path card = s / "card.img";
  fs::create_directories(s / "tmp");
  MakeCard(card, {96, std::nullopt, false});
  const LoopDevice loop(card);
  if (loop.device().empty()) GTEST_SKIP() << "no loop device to stand for a card reader: " << loop.error();
  const std::string& device = loop.device();
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  PutCardDefinitions(s.path());

  {
    // This process alone holds it: the shells that start the program do
    // not inherit it (and would be named before this process once process
    // numbers wrap around).
    const int holder = open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    const std::string before = FileHash(card);
    const Output held = RunTessarin(s.path(), s / "tmp", "--yes " + Quote(device));
    close(holder);
    EXPECT_EQ(held.status, 2);
    EXPECT_NE(held.err.find("another program holds it exclusively (open in PID " + std::to_string(getpid()) + " ("),
              std::string::npos)
        << held.err;
    EXPECT_NE(held.err.find("Nothing was changed."), std::string::npos) << held.err;
    EXPECT_EQ(FileHash(card), before);
  }

  const Output run = RunTessarin(s.path(), s / "tmp", "--yes " + Quote(device));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadBytes(card, 446, 1)[0], 0x80);
  const Bytes vbr = ReadBytes(card, std::uint64_t{kPartitionStart} * 512, 512);
  const Bytes loader = Image(tessarin::IDR_BLDR_LOADER);
  EXPECT_TRUE(std::equal(loader.begin(), loader.end(), vbr.begin() + 90));
  EXPECT_EQ(Attributes(card, "::/BLDR"), "ASHR");
  EXPECT_EQ(FsckFindings(card), std::vector<std::string>{});
}

// A card reader that loses what it was given beneath the kernel: the loop
// device's cache keeps what the program wrote, the image behind it is
// changed after each sync. Only a read of the card itself finds it (the
// boot records' step holds the device open, and its cache with it): a boot
// record fails its step as its failed write does, an installed file the
// installation, a project file put back keeps the saved copy.
TEST(BlockDevice, CardChangedBeneathTheCacheFailsTheStep) {
  struct Case {
    const char* name;
    std::string garble;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"the active flag of sector 0", "TESSARIN_GARBLE_AT=446", 1, "Cannot open or read destination drive."},
      {"a byte of the boot sector's code",
       "TESSARIN_GARBLE_AT=" + std::to_string(std::uint64_t{kPartitionStart} * 512 + 100), 1,
       "Error\n\nThe card did not keep what was written: it reads back different."},
      {"an installed file", "TESSARIN_GARBLE_MARK=system-image-mark", 1,
       "the card does not hold what was installed: NK.BIN: its contents differ from what was written"},
      {"a project file put back", "TESSARIN_GARBLE_MARK=project-file-mark", 4,
       "copying to e:/Project on the card failed: the card gives back 1 entry different from the saved copy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch s;
    const fs::path card = s / "card.img";
    fs::create_directories(s / "tmp");
    MakeCard(card, {96, std::nullopt, true});
    // The program syncs the card only after it has saved the project
    // folder: the copy it saves is whole.
    WriteTree(s / "project", {{"main.prj", "project"}, {"alarms.csv", std::string(3000, 'r') + "project-file-mark"}});
    PutOnCard(card, s / "project", "Project");
    const LoopDevice loop(card);
    if (loop.device().empty()) GTEST_SKIP() << "no loop device to stand for a card reader: " << loop.error();
    MakeInstaller(s / "wincesys.exe",
                  {{"BLDR", "loader"}, {"NK.BIN", Noise(100000, 3) + "system-image-mark" + Noise(1000, 4)}},
                  {"BLDR", "NK.BIN"}, s.path());
    PutCardDefinitions(s.path());

    const Output run = RunTessarin(s.path(), s / "tmp", "--yes " + Quote(loop.device()),
                                   "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" + Quote(TESSARIN_GARBLE_WRITES) +
                                       " TESSARIN_GARBLE_FILE=" + Quote(loop.device()) +
                                       " TESSARIN_GARBLE_BENEATH=" + Quote(card) + " " + c.garble);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

// The card goes away once it is formatted (the loop device loses its
// medium, as a reader does when its card is pulled): the restore stops with
// its message, and the project folder waits in the temporary folder.
TEST(BlockDevice, VanishingAfterFormattingLosesNothing) {
  Scratch s;
  const fs::path card = s / "card.img";
  const fs::path tmp = s / "tmp";
  fs::create_directories(tmp);
  MakeCard(card, {96, std::nullopt, true});
  WriteTree(s / "project", {{"main.prj", "project"}, {"screens/a.bmp", std::string(5000, 'a')}});
  PutOnCard(card, s / "project", "Project");
  const LoopDevice loop(card);
  if (loop.device().empty()) GTEST_SKIP() << "no loop device to stand for a card reader: " << loop.error();
  const std::string& device = loop.device();
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  PutCardDefinitions(s.path());
  // The program keeps the device open, so a detach would wait for it: the
  // reader loses its medium instead (no sectors left).
  WrapTool(s / "hooks", "mkfs.fat", "", "truncate -s 0 " + Quote(card) + " && losetup -c " + Quote(device));

  const Output run = RunTessarin(s.path(), tmp, "--yes " + Quote(device), "PATH=" + Quote(s / "hooks") + ":$PATH");
  EXPECT_EQ(run.status, 1) << run.err;
  // The card is read right after formatting: that is where it is missed.
  EXPECT_NE(run.err.find("the card does not hold a new volume"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Failed to Format the Drive."), std::string::npos) << run.err;
  const auto log = LogMessages(run.out);
  ASSERT_FALSE(log.empty());
  const std::string savedLine = "::Warning:: The Project Folder is saved in ";
  ASSERT_EQ(log.back().rfind(savedLine, 0), 0u) << run.out;
  const fs::path saved = log.back().substr(savedLine.size());
  EXPECT_EQ(saved.parent_path().parent_path(), tmp);
  EXPECT_EQ(Digest(ReadTree(saved)), Digest(ReadTree(s / "project")));
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// End to end: a card image restored by the program from the demo archive
// starts in the emulator, through our master boot code, the boot sector's
// BLDR loader and the demo BLDR, which greets on the debug console.
TEST(RestoredCard, BootsInTheEmulator) {
  if (Shell("command -v qemu-system-i386").status != 0) GTEST_SKIP() << "qemu-system-i386 missing";
  Scratch s;
  const fs::path card = s / "card.img";
  fs::create_directories(s / "tmp");
  MakeCard(card, {128, std::nullopt, false});
  fs::copy_file(TESSARIN_DEMO_ARCHIVE, s / "wincesys.exe");
  PutCardDefinitions(s.path());
  const Output run = RunTessarin(s.path(), s / "tmp", "--yes card.img");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(FsckFindings(card), std::vector<std::string>{});

  const std::string console = BootCard(card);
  EXPECT_NE(console.find("Tessarin demo panel: BLDR started from the restored card."), std::string::npos)
      << "debug console:\n"
      << console;
}

// The loader looks for BLDR among the root folder's first 16 entries only
// and reads 68 sectors of it in a row. An archive that lists 20 files
// before BLDR still gives a card that starts: BLDR goes onto the card
// first, in clusters in a row. The payload counts the sectors of its own
// that it finds loaded.
TEST(RestoredCard, BldrListedLateInTheArchiveStillStarts) {
  if (Shell("command -v qemu-system-i386").status != 0) GTEST_SKIP() << "qemu-system-i386 missing";
  if (!fs::exists(TESSARIN_BLDR_PAYLOAD)) GTEST_SKIP() << "no boot suite payload: " << TESSARIN_BLDR_PAYLOAD;
  Scratch s;
  const fs::path card = s / "card.img";
  fs::create_directories(s / "tmp");
  MakeCard(card, {128, std::nullopt, false});
  Tree tree;
  std::vector<std::string> order;
  for (int i = 0; i < 20; ++i) {
    const std::string name = "Datei Nummer " + std::to_string(i) + ".txt";  // long names take two entries
    tree[name] = std::string(5000, static_cast<char>('a' + i));
    order.push_back(name);
  }
  // The payload's sector, then 69 sectors that each start with "SECT" and
  // their index, as the payload looks for them.
  std::string bldr = ReadFileBytes(TESSARIN_BLDR_PAYLOAD);
  ASSERT_EQ(bldr.size(), 512u);
  for (int i = 1; i < 70; ++i) {
    std::string sector = "SECT" + std::string{static_cast<char>(i), '\0'};
    sector.resize(512, '\0');
    bldr += sector;
  }
  tree["BLDR"] = bldr;
  order.push_back("BLDR");
  MakeInstaller(s / "wincesys.exe", tree, order, s.path());
  PutCardDefinitions(s.path());

  const Output run = RunTessarin(s.path(), s / "tmp", "--yes card.img");
  ASSERT_EQ(run.status, 0) << run.err;
  // mdir lists the root folder in its order: BLDR before the others.
  const std::string listing = Mtools(card, "mdir -a ::/");
  const std::size_t listed = listing.find("BLDR ");
  ASSERT_NE(listed, std::string::npos) << listing;
  EXPECT_GT(listing.find("Datei"), listed) << listing;

  const std::string console = BootCard(card);
  EXPECT_NE(console.find("PAYLOAD bldr CS=0000 IP=1000"), std::string::npos) << console;
  EXPECT_NE(console.find("loaded=0044"), std::string::npos) << console;
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// Once the card work has begun, an interrupt only warns: stopping halfway
// could leave the card unusable.
TEST(Interrupt, OnceTheRestoreRunsTheFirstOneOnlyWarns) {
  Scratch s;
  const fs::path card = s / "card.img";
  fs::create_directories(s / "tmp");
  MakeCard(card, {96, std::nullopt, true});
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  // The formatter says it runs, and goes on once the program has taken the
  // interrupt sent meanwhile.
  WrapTool(s / "hooks", "mkfs.fat",
           "touch formatting; " + ShellWaitUntil("grep -qF " + Quote(kFirstInterruptLine) + " /proc/$PPID/fd/2"), "");
  const Output run =
      Shell("cd " + Quote(s.path()) + " && { PATH=" + Quote(s / "hooks") + ":$PATH TMPDIR=" + Quote(s / "tmp") + " " +
            Quote(TESSARIN_PROGRAM) + " --yes card.img 2>err.txt & pid=$!; " + ShellWaitUntil("[ -e formatting ]") +
            "; kill -INT $pid; wait $pid; status=$?; cat err.txt >&2; exit $status; }");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find(kFirstInterruptLine), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("::Info:: System restored to FLASH successfully."), std::string::npos) << run.out;
  EXPECT_EQ(FsckFindings(card), std::vector<std::string>{});
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// The log's reader quits early (tessarin ... | head -1): the restore still
// runs to its end, the project folder goes back, and the exit status and
// the messages say so.
TEST(ClosedLog, TheRestoreGoesOnWhenTheReaderQuits) {
  Scratch s;
  const fs::path card = s / "card.img";
  fs::create_directories(s / "tmp");
  MakeCard(card, {96, std::nullopt, true});
  WriteTree(s / "project", {{"main.prj", "project"}, {"screens/a.bmp", std::string(5000, 'a')}});
  PutOnCard(card, s / "project", "Project");
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  const Output run = Shell("cd " + Quote(s.path()) + " && TMPDIR=" + Quote(s / "tmp") + " " + Quote(TESSARIN_PROGRAM) +
                           " --yes card.img | head -1; exit ${PIPESTATUS[0]}");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(LogMessages(run.out), std::vector<std::string>{"::Info:: Backing up Project Folder."});
  EXPECT_NE(run.err.find("System restored to SD CARD successfully."), std::string::npos) << run.err;
  EXPECT_EQ(Attributes(card, "::/BLDR"), "ASHR");
  EXPECT_EQ(Digest(CardTree(card, "Project", s.path())), Digest(ReadTree(s / "project")));
  EXPECT_EQ(FsckFindings(card), std::vector<std::string>{});
  EXPECT_TRUE(fs::is_empty(s / "tmp")) << "left in the temporary directory: "
                                       << fs::directory_iterator(s / "tmp")->path();
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// The card's file system is written in process: no mtools on PATH, only
// mkfs.fat. A project folder of many long, similar names comes back with
// the short names it had, and the card passes fsck.fat.
TEST(InProcessCard, RestoresWithoutMtoolsAndKeepsShortNames) {
  Scratch s;
  const fs::path card = s / "card.img";
  fs::create_directories(s / "tmp");
  MakeCard(card, {96, std::nullopt, true});
  Tree project = {{"main.prj", "project"}, {"Übersicht Maße.txt", "ü"}, {"README.TXT", "r"}, {"readme2.txt", "r2"}};
  for (int i = 1; i <= 150; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "alarms/alarm_log_2026-12-10_%04d.csv", i);
    project[name] = std::to_string(i);
  }
  WriteTree(s / "project", project);
  PutOnCard(card, s / "project", "Project");
  const std::set<Listed> before = MdirListing(CardVolume(card), "Project");
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}, {"NK.BIN", Noise(200000, 3)}}, {"BLDR", "NK.BIN"}, s.path());
  PutCardDefinitions(s.path());
  const fs::path tools = s / "tools";
  fs::create_directories(tools);
  fs::create_symlink(MustShell("command -v mkfs.fat | tr -d '\\n'"), tools / "mkfs.fat");

  const Output run = RunTessarin(s.path(), s / "tmp", "--yes card.img", "PATH=" + Quote(tools));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(MdirListing(CardVolume(card), "Project"), before);
  EXPECT_EQ(Digest(CardTree(card, "Project", s.path())), Digest(ReadTree(s / "project")));
  EXPECT_EQ(Attributes(card, "::/BLDR"), "ASHR");
  EXPECT_EQ(FsckFindings(card), std::vector<std::string>{});
}

// A user's PATH without the system's folders for administrators' tools
// (Debian's): mkfs.fat is found in /usr/sbin or /sbin all the same.
TEST(InProcessCard, FindsTheFormatterOutsidePath) {
  const std::string path = "/usr/bin:/bin";
  if (Shell("PATH=" + path + " command -v mkfs.fat").status == 0) GTEST_SKIP() << "mkfs.fat is on " << path << " here";
  Scratch s;
  const fs::path card = s / "card.img";
  fs::create_directories(s / "tmp");
  MakeCard(card, {96, std::nullopt, true});
  WriteTree(s / "project", {{"main.prj", "project"}});
  PutOnCard(card, s / "project", "Project");
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  const Output run = RunTessarin(s.path(), s / "tmp", "--yes card.img", "PATH=" + path);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Digest(CardTree(card, "Project", s.path())), Digest(ReadTree(s / "project")));
  EXPECT_EQ(FsckFindings(card), std::vector<std::string>{});
}

// The installer streams onto the card: a restore without the project
// folder needs no temporary folder at all, however big the system.
TEST(InProcessCard, InstallsWithoutATemporaryFolder) {
  Scratch s;
  const fs::path card = s / "card.img";
  MakeCard(card, {96, std::nullopt, true});
  const std::string image = Noise(3u << 20, 5);
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}, {"NK.BIN", image}, {"Hilfe/Einführung.txt", "ü"}},
                {"BLDR", "NK.BIN", "Hilfe"}, s.path());
  PutCardDefinitions(s.path());
  const Output run = RunTessarin(s.path(), s / "no such folder", "--yes --no-preserve card.img");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Mtools(card, "mtype ::/NK.BIN") == image);
  EXPECT_EQ(Digest(CardTree(card, "Hilfe", s.path())), Digest(Tree{{"Einführung.txt", "ü"}}));
  EXPECT_EQ(FsckFindings(card), std::vector<std::string>{});
}

// A card path with the characters a shell or a configuration file would
// expand is only a path.
TEST(InProcessCard, CardPathIsTakenLiterally) {
  Scratch s;
  const std::string name = "card $(touch expanded) `touch expanded` \\ ${HOME}.img";
  const fs::path plain = s / "card.img";
  fs::create_directories(s / "tmp");
  MakeCard(plain, {96, std::nullopt, true});
  WriteTree(s / "project", {{"main.prj", "project"}});
  PutOnCard(plain, s / "project", "Project");
  fs::rename(plain, s / name);
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  PutCardDefinitions(s.path());
  const Output run = RunTessarin(s.path(), s / "tmp", "--yes " + Quote(name));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(fs::exists(s / "expanded"));
  fs::rename(s / name, plain);  // mtools takes no such name
  EXPECT_EQ(Digest(CardTree(plain, "Project", s.path())), Digest(ReadTree(s / "project")));
}

// The DOS second stage goes only into an empty sector 12: what a formatter
// put there stays, and a volume whose sector 12 lies in the FAT stops the
// restore at the boot sector step, before the boot sector is written,
// rather than leaving a card that jumps into its FAT.
struct Sector12Case {
  const char* name;
  std::string mkfsBefore;  // shell lines before the real mkfs.fat
  std::string mkfsAfter;   // and after it
  int status;
  std::string sector12;  // "stage2", "kept" or "zero"
  std::string message;   // part of standard error
};

void PrintTo(const Sector12Case& c, std::ostream* os) { *os << c.name; }

class DosSecondStage : public ::testing::TestWithParam<Sector12Case> {};

TEST_P(DosSecondStage, GoesOnlyWhereItBelongs) {
  const Sector12Case& c = GetParam();
  Scratch s;
  const fs::path card = s / "card.img";
  fs::create_directories(s / "tmp");
  MakeCard(card, {96, std::nullopt, false});
  MakeInstaller(s / "dossys.exe", kDos.files, kDos.order, s.path());
  WrapTool(s / "hooks", "mkfs.fat", c.mkfsBefore, c.mkfsAfter);
  const Output run = RunTessarin(s.path(), s / "tmp", "--yes card.img", "PATH=" + Quote(s / "hooks") + ":$PATH");
  EXPECT_EQ(run.status, c.status) << run.err;
  EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;

  const Bytes sector12 = ReadBytes(card, std::uint64_t{kPartitionStart} * 512 + 12 * 512, 512);
  const Bytes want = c.sector12 == "stage2" ? Image(tessarin::IDR_DOS_STAGE2)
                     : c.sector12 == "kept" ? Bytes(512, 0x5A)
                                            : Bytes(512, 0);
  EXPECT_EQ(sector12, want);
  if (c.status != 0) {
    // The formatter's boot sector is untouched: it still equals its backup.
    const std::uint64_t volume = std::uint64_t{kPartitionStart} * 512;
    EXPECT_EQ(ReadBytes(card, volume, 512), ReadBytes(card, volume + 6 * 512, 512));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, DosSecondStage,
    ::testing::Values(Sector12Case{"EmptySector12", "", "", 0, "stage2",
                                   "the volume's sector 12 was empty: it now holds the DOS second boot stage"},
                      Sector12Case{"FilledSector12", "",
                                   "head -c 512 /dev/zero | tr '\\0' Z | dd of=\"${@: -2:1}\" bs=512 seek=$((" +
                                       std::to_string(kPartitionStart) + " + 12)) conv=notrunc status=none",
                                   0, "kept", "System restored to SD CARD successfully."},
                      Sector12Case{
                          "Sector12InTheFat", "set -- -R 8 \"$@\"", "", 1, "zero",
                          "the volume has 8 reserved sectors: its sector 12 cannot hold the DOS second boot stage"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
