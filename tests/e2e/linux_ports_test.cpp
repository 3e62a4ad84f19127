// The Linux adapters: the card's files through the FAT layer, and what the
// system shows them (partition tables, mountinfo, sysfs) as fixtures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

#include "card/entry_names.h"
#include "e2e_support.h"
#include "lx/card/card_format.h"
#include "lx/card/card_hold.h"
#include "lx/card/target_resolve.h"
#include "lx/install/archive_installer.h"
#include "lx/install/card_files.h"
#include "lx/install/preflight.h"
#include "lx/support/process.h"
#include "lx/support/terminal_text.h"

namespace e2e {
namespace {

using namespace tessarin::linux_port;
using tessarin::PathPresence;

// The card side of the file port: the card's folder through the FAT
// layer, the list of short names beside a saved copy.
TEST(CardFiles, ReadsTheCardThroughTheFatLayer) {
  Scratch s;
  struct Case {
    const char* name;
    bool format;
    const char* spoil;  // written over the volume's first sector
    bool exists;
    bool diagnosed;
    PathPresence presence;  // of the project folder
  };
  const Case cases[] = {
      {"FormattedWithProject", true, nullptr, true, false, PathPresence::Present},
      {"NeverFormatted", false, nullptr, false, false, PathPresence::Absent},
      {"BootSectorSpoiledBackupSound", true, "printf 'not a file system' | dd of=CARD bs=1 seek=1048576 conv=notrunc",
       true, false, PathPresence::Present},
      {"NoFileSystemThere", true,
       "for at in 1048576 1051648; do printf 'not a file system' | dd of=CARD bs=1 seek=$at conv=notrunc; done", true,
       true, PathPresence::Unreadable},
      // Wiped boot sectors over FATs and files that remain: not an empty card.
      {"BootSectorAndBackupWiped", true,
       "for at in 2048 2054; do dd if=/dev/zero of=CARD bs=512 seek=$at count=1 conv=notrunc; done", true, true,
       PathPresence::Unreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path card = s / (std::string(c.name) + ".img");
    MakeCard(card, {64, std::nullopt, c.format});
    if (c.format) {
      WriteTree(s / "p", {{"x.txt", "12345"}, {"Folder With Blanks/y", "1"}, {"empty/", ""}});
      PutOnCard(card, s / "p", "Project");
    }
    if (c.spoil != nullptr) {
      std::string command = c.spoil;
      command.replace(command.find("CARD"), 4, Quote(card));
      MustShell("{ " + command + "; } 2>/dev/null");
    }
    std::string error;
    const auto target = ResolveCardTarget(card.string(), error);
    ASSERT_TRUE(target) << error;
    const CardFat fat(*target, 'E');
    NoProgress progress;
    std::vector<std::string> diagnostics;
    CardFiles files(
        fat, [&](const std::string& d) { diagnostics.push_back(d); }, nullptr, progress);
    EXPECT_EQ(files.Exists("e:/Project"), c.exists);
    EXPECT_EQ(!diagnostics.empty(), c.diagnosed);
    std::string why;
    EXPECT_EQ(fat.Probe("e:/Project", &why), c.presence);
    EXPECT_EQ(why.empty(), c.presence != PathPresence::Unreadable) << why;
    EXPECT_EQ(files.Probe("E:\\Project"), c.presence);
    if (!c.format || c.diagnosed) continue;
    EXPECT_TRUE(files.Exists("E:\\PROJECT\\x.TXT"));
    EXPECT_FALSE(files.Exists("e:/Project/missing"));
    EXPECT_FALSE(files.Exists("e:/Project/x.txt/below"));
    const auto entries = files.ListTree("e:/Project");
    ASSERT_TRUE(entries);
    std::map<std::string, std::uint64_t> got;
    for (const auto& e : *entries) got[e.path + (e.directory ? "/" : "")] = e.size;
    EXPECT_EQ(got, (std::map<std::string, std::uint64_t>{
                       {"x.txt", 5}, {"Folder With Blanks/", 0}, {"Folder With Blanks/y", 1}, {"empty/", 0}}));
    EXPECT_FALSE(files.ListTree("e:/Missing"));
  }
}

TEST(CardFiles, NamesListKeepsEveryPath) {
  const std::map<std::string, CardNames> names = {
      {"alarm_log_2026-12-10_0001.csv", {"ALARM_~1.CSV", 0x20}},
      {"Übersicht Maße.txt", {"ÜBERSI~1.TXT", 0x23}},
      {"sub folder/   leading blanks", {"LEADIN~1", 0x00}},
      {"Folder", {"FOLDER", 0x16}},
  };
  const std::string text = FormatNames(names);
  EXPECT_EQ(text.front(), '#');
  // Broken lines, and paths that would lead out of the saved folder or
  // into a name no card gives, are left out.
  const auto back = ParseNames(text +
                               "broken line\nX\tZZ\tpath\n\nX\t20\t../up\nX\t20\ta/../../up\nX\t20\t/abs\n"
                               "X\t20\tsub//double\nX\t20\ttrail/\nX\t20\tbell\x07\nX\t20\t.\n");
  ASSERT_EQ(back.size(), names.size());
  for (const auto& [path, n] : names) {
    ASSERT_TRUE(back.count(path)) << path;
    EXPECT_EQ(back.at(path).shortName, n.shortName);
    EXPECT_EQ(back.at(path).attributes, n.attributes);
  }
  EXPECT_EQ(NamesFileOf("/tmp/QV1/Project/"), "/tmp/QV1/Project.names");
}

TEST(PartitionTable, FirstPartitionMustBeAFatPartitionWindowsNames) {
  struct Case {
    const char* name;
    std::uint8_t type;
    std::uint32_t start, sectors;
    bool signature;
    const char* why;  // empty: usable
  };
  const Case cases[] = {
      {"fat32 lba", 0x0C, 2048, 100000, true, ""},
      {"fat32 chs", 0x0B, 63, 100000, true, ""},
      {"fat16", 0x06, 2048, 100000, true, ""},
      {"fat16 lba", 0x0E, 2048, 100000, true, ""},
      {"no signature", 0x0C, 2048, 100000, false, "holds no partition table"},
      {"empty entry", 0x00, 2048, 100000, true, "first partition entry is empty"},
      {"extended", 0x05, 2048, 100000, true, "holds an extended partition (type 05)"},
      {"extended lba", 0x0F, 2048, 100000, true, "holds an extended partition (type 0F)"},
      {"gpt", 0xEE, 1, 149999, true, "holds a GPT partition table"},
      {"ntfs", 0x07, 2048, 100000, true, "type 07 (NTFS or exFAT) as its first partition, not a FAT partition"},
      {"linux", 0x83, 2048, 100000, true, "type 83 (Linux)"},
      {"hidden fat32", 0x1B, 2048, 100000, true, "hidden FAT partition (type 1B)"},
      {"starts at 0", 0x0C, 0, 100000, true, "has no extent"},
      {"beyond the disk", 0x0C, 2048, 200000, true, "beyond the end of the card"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint8_t mbr[512] = {};
    std::uint8_t* e = mbr + 446;
    e[4] = c.type;
    for (int i = 0; i < 4; ++i) {
      e[8 + i] = static_cast<std::uint8_t>(c.start >> (8 * i));
      e[12 + i] = static_cast<std::uint8_t>(c.sectors >> (8 * i));
    }
    if (c.signature) mbr[510] = 0x55, mbr[511] = 0xAA;
    std::string why;
    const auto p = FirstPartition(mbr, 150000, &why);
    EXPECT_EQ(p.has_value(), *c.why == '\0');
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    if (p) {
      EXPECT_EQ(p->start, c.start);
    }
  }
}

// A card formatted as a whole carries a FAT boot sector where the MBR would
// be; its boot code bytes must not pass for a partition table.
TEST(PartitionTable, AVolumeWithoutATableIsNamedAsSuch) {
  Scratch s;
  MustShell("truncate -s 64M " + Quote(s / "floppy.img") + " && mkfs.fat -F 32 " + Quote(s / "floppy.img") +
            " >/dev/null");
  const auto sector = ReadBytes(s / "floppy.img", 0, 512);
  std::string why;
  EXPECT_FALSE(FirstPartition(sector.data(), 131072, &why));
  EXPECT_NE(why.find("without a partition table"), std::string::npos) << why;
}

TEST(FormatCommand, KeepsThePartitionStartAndTheRecordedGeometry) {
  CardTarget image;
  image.path = "/cards/card.img";
  image.partitionStart = 63;
  image.partitionSectors = 1000001;
  EXPECT_EQ(
      FormatCommand("/usr/sbin/mkfs.fat", image, Geometry{255, 63}, 0x0123abcd),
      (std::vector<std::string>{"/usr/sbin/mkfs.fat", "-F", "32", "-n", "QV", "-S", "512", "-h", "63", "--offset=63",
                                "-i", "0123abcd", "--mbr=n", "-g", "255/63", "/cards/card.img", "500000"}));
  CardTarget disk = image;
  disk.path = "/dev/sdz";
  disk.blockDevice = true;
  const auto argv = FormatCommand("mkfs.fat", disk, std::nullopt, 1);
  EXPECT_EQ(std::count(argv.begin(), argv.end(), "-g"), 0);
  EXPECT_EQ(std::count(argv.begin(), argv.end(), "-I"), 1);

  std::uint8_t sector[512] = {};
  sector[11] = 0x00, sector[12] = 0x02, sector[24] = 63, sector[26] = 255, sector[510] = 0x55, sector[511] = 0xAA;
  ASSERT_TRUE(RecordedGeometry(sector));
  EXPECT_EQ(RecordedGeometry(sector)->heads, 255u);
  sector[510] = 0;  // no file system yet
  EXPECT_FALSE(RecordedGeometry(sector));
}

TEST(ArchiveOrder, SystemFilesListedLateGetAPassOfTheirOwn) {
  using Names = std::vector<std::string>;
  struct Case {
    Names archive, first;
    bool late;
  } cases[] = {
      {{"BLDR", "NK.BIN", "Hilfe", "Hilfe/a.txt"}, {"BLDR"}, false},
      {{"README.TXT", "BLDR", "NK.BIN"}, {"BLDR"}, true},
      {{"Hilfe", "Hilfe/a.txt", "bldr"}, {"BLDR"}, true},  // names compared as Windows compares them
      {{"Ibmbio.Com", "IBMDOS.COM", "COMMAND.COM"}, {"IBMBIO.COM", "IBMDOS.COM"}, false},
      {{"IBMDOS.COM", "COMMAND.COM", "IBMBIO.COM"}, {"IBMBIO.COM", "IBMDOS.COM"}, true},
      {{"sub/BLDR", "BLDR"}, {"BLDR"}, true},  // only the root folder's BLDR is the system file
      {{"NK.BIN", "README.TXT"}, {"BLDR"}, false},
      {{"COMMAND.COM", "io.sys"}, {}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(FirstFilesComeLate(c.archive, c.first), c.late) << c.archive.front();
  EXPECT_TRUE(IsOneOfFirstFiles("bldr", {"BLDR"}));
  EXPECT_FALSE(IsOneOfFirstFiles("Hilfe/BLDR", {"BLDR"}));
  EXPECT_FALSE(IsOneOfFirstFiles("BLDR.BAK", {"BLDR"}));
}

TEST(CardInUse, MountedPartitionsAndTheSystemDiskAreRefused) {
  Scratch s;
  FakeSysfs sys(s / "sys");
  const fs::path sda = sys.Disk("sda", makedev(8, 0));
  const fs::path sda2 = sys.Partition(sda, "sda2", makedev(8, 2));
  const fs::path sdb = sys.Disk("sdb", makedev(8, 16));
  sys.Partition(sdb, "sdb1", makedev(8, 17));
  const fs::path sdc = sys.Disk("sdc", makedev(8, 32));
  const fs::path sdc1 = sys.Partition(sdc, "sdc1", makedev(8, 33));
  sys.Mapped("dm-0", makedev(254, 0), sdc1);
  sys.Disk("sdd", makedev(8, 48));

  const auto mounts = ParseMountInfo(
      "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
      "40 22 8:17 / /media/op/CARD\\040ONE rw,nosuid - vfat /dev/sdb1 rw,uid=1000\n"
      "41 22 254:0 / /srv/data rw - ext4 /dev/mapper/secret rw\n"
      "42 22 0:5 / /dev rw - devtmpfs udev rw\n");
  ASSERT_EQ(mounts.size(), 4u);
  EXPECT_EQ(mounts[1].mountPoint, "/media/op/CARD ONE");

  struct Case {
    const char* disk;
    dev_t dev;
    const char* refusal;  // a part of the message, or "" when free
  };
  const Case cases[] = {
      {"/dev/sda", makedev(8, 0), "root file system"},
      {"/dev/sdb", makedev(8, 16), "mounted on /media/op/CARD ONE"},
      {"/dev/sdc", makedev(8, 32), "mounted on /srv/data"},
      {"/dev/sdd", makedev(8, 48), ""},
  };
  for (const Case& c : cases) {
    CardTarget t;
    t.path = c.disk;
    t.blockDevice = true;
    t.device = c.dev;
    const std::string why = WhyCardIsInUse(t, mounts, makedev(8, 2), sys.path());
    if (*c.refusal == '\0')
      EXPECT_EQ(why, "") << c.disk;
    else
      EXPECT_NE(why.find(c.refusal), std::string::npos) << c.disk << ": " << why;
  }
  (void)sda2;
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

using namespace tessarin::linux_port;
using tessarin::PathPresence;

TEST(ArchiveEntries, OnlyPlainFilesAndFoldersWithNamesAFatCardHolds) {
  constexpr std::uint64_t kGiB = 1ull << 30;
  struct Case {
    const char* name;
    EntryKind kind;
    std::uint64_t size;
    const char* why;  // empty: fit
  };
  const Case cases[] = {
      {"BLDR", EntryKind::File, 3000, ""},
      {"./Hilfe/Einführung.txt", EntryKind::File, 1, ""},
      {"Folder/", EntryKind::Folder, 0, ""},
      {"big.bin", EntryKind::File, 4 * kGiB - 1, ""},
      {"huge.bin", EntryKind::File, 4 * kGiB, "4 GiB or more"},
      {"../outside.txt", EntryKind::File, 1, "out of the card's root"},
      {"a/../../b", EntryKind::File, 1, "out of the card's root"},
      {"/etc/passwd", EntryKind::File, 1, "an absolute path"},
      {"dir\\file", EntryKind::File, 1, "a backslash"},
      {"link", EntryKind::SymbolicLink, 0, "a symbolic link"},
      {"hard", EntryKind::HardLink, 0, "a hard link"},
      {"fifo", EntryKind::Other, 0, "a device, pipe or socket"},
      {"a:b", EntryKind::File, 1, "(':')"},
      {"what?.txt", EntryKind::File, 1, "('?')"},
      {"x\x1b[2J", EntryKind::File, 1, "a control character"},
      {"trailing.", EntryKind::File, 1, "ends with a dot or a blank"},
      {"trailing ", EntryKind::Folder, 0, "ends with a dot or a blank"},
      {"bad\xff", EntryKind::File, 1, "not valid UTF-8"},
      {"", EntryKind::File, 1, "without a name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string why = WhyEntryUnfitForCard(c.name, c.kind, c.size);
    EXPECT_EQ(why.empty(), *c.why == '\0') << why;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
  EXPECT_EQ(WhyNameUnfitForCard(std::string(255, 'n')), "");
  EXPECT_NE(WhyNameUnfitForCard(std::string(256, 'n')), "");
  std::string longUmlauts;
  for (int i = 0; i < 255; ++i) longUmlauts += "ü";  // 510 bytes, 255 characters
  EXPECT_EQ(WhyNameUnfitForCard(longUmlauts), "");
}

TEST(ArchiveEntries, NamesThatDifferOnlyInCaseClash) {
  struct Case {
    std::vector<ArchiveItem> items;
    const char* clash;  // empty: none
  };
  const Case cases[] = {
      {{{"BLDR", false, 1}, {"NK.BIN", false, 1}, {"Hilfe", true, 0}, {"Hilfe/a.txt", false, 1}}, ""},
      {{{"README.TXT", false, 1}, {"readme.txt", false, 1}}, "\"README.TXT\" and \"readme.txt\""},
      {{{"Hilfe/a.txt", false, 1}, {"HILFE/b.txt", false, 1}}, "\"Hilfe\" and \"HILFE\""},
      {{{"Übersicht", false, 1}, {"übersicht", false, 1}}, "differ only in case"},
      {{{"data", false, 1}, {"data/x", false, 1}}, "a file and a folder of the same name"},
      {{{"same", false, 1}, {"same", false, 2}}, ""},  // the later one replaces the earlier
  };
  for (const Case& c : cases) {
    const std::string clash = FindNameClash(c.items);
    EXPECT_EQ(clash.empty(), *c.clash == '\0') << clash;
    EXPECT_NE(clash.find(c.clash), std::string::npos) << clash;
  }
}

// The estimate of the volume the formatter makes, against mkfs.fat itself:
// the same cluster size, and never fewer clusters than it makes (a card the
// system fits on is never refused).
TEST(FitOnTheCard, TheEstimateFollowsTheFormatter) {
  Scratch s;
  for (std::uint64_t megabytes : {64, 200, 260, 300, 1024, 4000}) {
    SCOPED_TRACE(std::to_string(megabytes) + " MB");
    const std::uint64_t sectors = megabytes * 2048;
    MustShell("rm -f " + Quote(s / "v.img") + " && truncate -s " + std::to_string(megabytes) + "M " +
              Quote(s / "v.img") + " && mkfs.fat -F 32 -S 512 " + Quote(s / "v.img") + " >/dev/null");
    const auto b = ReadBytes(s / "v.img", 0, 512);
    const auto le = [&](std::size_t at, int n) {
      std::uint64_t v = 0;
      for (int i = n - 1; i >= 0; --i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
      return v;
    };
    const std::uint64_t perCluster = b[13], reserved = le(14, 2), fats = b[16], fatSize = le(36, 4), total = le(32, 4);
    const std::uint64_t clusters = (total - reserved - fats * fatSize) / perCluster;
    const Fat32Estimate e = EstimateFat32(sectors);
    EXPECT_EQ(e.clusterBytes, perCluster * 512);
    EXPECT_GE(e.dataClusters, clusters);
    EXPECT_LE(e.dataClusters, clusters + clusters / 100);
  }
}

TEST(FitOnTheCard, FilesTakeWholeClustersAndFoldersTheirEntries) {
  const std::vector<ArchiveItem> items = {
      {"BLDR", false, 3000}, {"empty.txt", false, 0}, {"Hilfe", true, 0}, {"Hilfe/a.txt", false, 4096}};
  // 512-byte clusters: BLDR 6, a.txt 8, the root and Hilfe one each.
  EXPECT_EQ(ClustersNeeded(items, 512), 6u + 8 + 1 + 1);
  // 4 KiB clusters: BLDR 1, a.txt 1, the root and Hilfe one each.
  EXPECT_EQ(ClustersNeeded(items, 4096), 4u);
  // Many names: the folder's entries need clusters of their own.
  std::vector<ArchiveItem> many;
  for (int i = 0; i < 100; ++i) many.push_back({"a file with a long name " + std::to_string(i), false, 0});
  EXPECT_EQ(ClustersNeeded(many, 512), 100u * 32 * 3 / 512 + 1);
}

// The card's files are reached through the program's hold: the FAT layer's
// sessions share it, and a second restore is kept away the whole time.
TEST(CardHold, TheFatLayerWorksThroughTheHold) {
  Scratch s;
  const fs::path card = s / "held.img";
  MakeCard(card, {64, std::nullopt, true});
  WriteTree(s / "p", {{"x.txt", "12345"}});
  PutOnCard(card, s / "p", "Project");
  std::string error;
  const auto target = ResolveCardTarget(card.string(), error);
  ASSERT_TRUE(target) << error;
  auto hold = CardHold::Take(*target, error);
  ASSERT_TRUE(hold) << error;
  EXPECT_FALSE(hold->changed());
  const CardFat fat(*target, 'e', hold.get());
  EXPECT_EQ(fat.Probe("e:/Project/x.txt"), PathPresence::Present);
  EXPECT_FALSE(hold->changed()) << "reading changes nothing";
  NoProgress progress;
  CardFiles files(fat, nullptr, nullptr, progress);
  EXPECT_TRUE(files.MakeDirectory("e:/New"));
  EXPECT_TRUE(hold->changed());
  EXPECT_TRUE(files.Exists("e:/New"));

  std::string why;
  EXPECT_FALSE(CardHold::Take(*target, why));
  EXPECT_NE(why.find("is in use"), std::string::npos) << why;
  // Nor can a session of its own open the card for writing meanwhile.
  EXPECT_FALSE(CardFat(*target, 'e').Open(true).volume);

  // The image replaced behind the path: the hold's card is gone, nothing is
  // written to the new file.
  fs::rename(card, s / "moved.img");
  fs::copy_file(s / "moved.img", card);
  EXPECT_FALSE(fat.Open(true).volume);
  EXPECT_EQ(fat.Probe("e:/Project"), PathPresence::Unreadable);
  hold.reset();
  EXPECT_TRUE(CardFat(*target, 'e').Open(true).volume) << "free again once the hold ends";
}

TEST(CardHold, TheHoldersProcessIsFoundInTheKernelsLockTable) {
  const std::string table =
      "1: POSIX  ADVISORY  WRITE 4711 00:2f:1234 0 EOF\n"
      "2: FLOCK  ADVISORY  WRITE 812 fd:01:524301 0 EOF\n"
      "2: -> FLOCK  ADVISORY  WRITE 990 fd:01:524301 0 EOF\n"
      "3: OFDLCK ADVISORY  READ  -1 fd:01:524301 0 EOF\n";
  const auto locks = ParseProcLocks(table);
  ASSERT_EQ(locks.size(), 3u);
  EXPECT_EQ(locks[1].kind, "FLOCK");
  EXPECT_EQ(locks[1].major, 0xFDu);
  EXPECT_EQ(locks[1].inode, 524301u);
  EXPECT_EQ(LockHolder(locks, makedev(0xFD, 1), 524301, 1), std::optional<pid_t>(812));
  EXPECT_EQ(LockHolder(locks, makedev(0xFD, 1), 524301, 812), std::nullopt);  // ourselves
  EXPECT_EQ(LockHolder(locks, makedev(0xFD, 2), 524301, 1), std::nullopt);
  EXPECT_EQ(LockHolder(locks, makedev(0, 0x2F), 1234, 1), std::optional<pid_t>(4711));
}

TEST(TerminalText, ControlSequencesAreShownNotObeyed) {
  struct Case {
    const char* in;
    bool keepLineBreaks;
    const char* out;
  };
  const Case cases[] = {
      {"plain Übersicht Maße.txt", false, "plain Übersicht Maße.txt"},
      {"clear\x1b[2J", false, "clear\\x1b[2J"},
      {"title\x1b]0;owned\x07", false, "title\\x1b]0;owned\\x07"},
      {"csi\xc2\x9b"
       "31m",
       false, "csi\\xc2\\x9b31m"},  // the 8-bit CSI
      {"two\nlines\r\t", false, "two\\nlines\\r\\t"},
      {"two\nlines", true, "two\nlines"},
      {"latin1 \xe9", false, "latin1 \\xe9"},
      {"del\x7f", false, "del\\x7f"},
      {"overlong \xc0\xaf", false, "overlong \\xc0\\xaf"},
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeForTerminal(c.in, c.keepLineBreaks), c.out) << c.in;
}

// mkfs.fat is found on PATH first, then in the system's folders that a
// user's PATH may leave out; only an executable file counts.
TEST(Formatter, FoundOnPathThenInTheSystemFolders) {
  Scratch s;
  for (const char* dir : {"empty", "plain", "folder", "tool", "link", "system"}) fs::create_directories(s / dir);
  WriteFileBytes(s / "plain" / "mkfs.fat", "not executable");
  fs::create_directories(s / "folder" / "mkfs.fat");
  StandInTool(s / "tool", "mkfs.fat", "");
  fs::create_symlink(s / "tool" / "mkfs.fat", s / "link" / "mkfs.fat");
  std::ofstream(s / "system" / "mkfs.fat") << "#!/bin/sh\n";
  fs::permissions(s / "system" / "mkfs.fat", fs::perms::owner_all | fs::perms::others_exec);
  const std::string d = s.path().string() + "/";
  struct Case {
    std::string path;
    std::vector<std::string> folders;
    std::optional<std::string> found;
  };
  const Case cases[] = {
      {d + "empty:" + d + "plain:" + d + "folder", {d + "system"}, d + "system/mkfs.fat"},
      {d + "empty:" + d + "tool", {d + "system"}, d + "tool/mkfs.fat"},  // PATH comes first
      {d + "link", {}, d + "link/mkfs.fat"},
      {"", {d + "empty", d + "system/"}, d + "system/mkfs.fat"},
      {d + "plain", {d + "folder"}, std::nullopt},
      {"", {}, std::nullopt},
      // Relative entries name the working directory's folders: passed over.
      {"tool::.", {}, std::nullopt},
  };
  const fs::path cwd = fs::current_path();
  fs::current_path(s.path());
  for (const Case& c : cases) EXPECT_EQ(FindFormatter(c.path, c.folders), c.found) << c.path;
  fs::current_path(cwd);
  EXPECT_EQ(FormatterFolders(), (std::vector<std::string>{"/usr/sbin", "/sbin"}));
}

// After mkfs.fat the card must hold the volume it was asked for: the
// serial number given, the label, an empty root folder, a fresh FAT. A
// formatter that reported success without formatting leaves something
// else.
TEST(Formatter, TheNewVolumeIsRecognised) {
  constexpr std::uint32_t kSerial = 0x5EC0FFEE;
  enum class Change { None, OtherSerial, OtherLabel, Fat16, FileInRoot, DeletedInRoot, FatDirty, LostCluster, Blank };
  const struct {
    const char* name;
    Change change;
    const char* why;  // "" when it is the new volume
  } cases[] = {
      {"fresh", Change::None, ""},
      {"an older volume's serial number", Change::OtherSerial, "its serial number is 1234-5678, not the 5EC0-FFEE"},
      {"another label", Change::OtherLabel, "does not carry the label QV"},
      {"FAT16", Change::Fat16, "not FAT32"},
      {"a file in the root", Change::FileInRoot, "its root folder holds \"old.txt\""},
      {"a deleted entry in the root", Change::DeletedInRoot, "its root folder holds more than the label"},
      {"a FAT marked as in use", Change::FatDirty, "its FAT starts with 0FFFFFF8 07FFFFFF"},
      {"a cluster in use", Change::LostCluster, "its FAT marks 2 clusters used"},
      {"nothing formatted", Change::Blank, "its volume cannot be read"},
  };
  const std::optional<std::string> formatter = FindFormatter();
  ASSERT_TRUE(formatter);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch s;
    const fs::path card = s / "card.img";
    MakeCard(card, {96, std::nullopt, false});
    std::string error;
    const auto target = ResolveCardTarget(card.string(), error);
    ASSERT_TRUE(target) << error;
    std::vector<std::string> argv =
        FormatCommand(*formatter, *target, std::nullopt, c.change == Change::OtherSerial ? 0x12345678 : kSerial);
    if (c.change == Change::OtherLabel) *std::find(argv.begin(), argv.end(), "QV") = "QV2";
    if (c.change == Change::Fat16) *std::find(argv.begin(), argv.end(), "32") = "16";
    if (c.change != Change::Blank) {
      const ProcessResult r = RunProcess(argv);
      ASSERT_TRUE(r.ok()) << r.errors;
    }
    if (c.change == Change::FileInRoot || c.change == Change::DeletedInRoot) {
      WriteTree(s / "files", {{"old.txt", "an old file"}});
      Mtools(card, "mcopy " + Quote((s / "files" / "old.txt").string()) + " ::/old.txt");
      if (c.change == Change::DeletedInRoot) Mtools(card, "mdel ::/old.txt");
    }
    if (c.change == Change::FatDirty || c.change == Change::LostCluster) {
      // The same entry changed in both FATs.
      const auto boot = ReadBytes(card, std::uint64_t{kPartitionStart} * 512, 512);
      const std::uint64_t reserved = boot[14] | boot[15] << 8;
      const std::uint64_t fatSectors = boot[36] | boot[37] << 8 | boot[38] << 16 | std::uint64_t{boot[39]} << 24;
      const std::uint64_t entry = c.change == Change::FatDirty ? 1 : 5;
      const char value[4] = {'\xFF', '\xFF', '\xFF', c.change == Change::FatDirty ? '\x07' : '\x0F'};
      std::fstream f(card, std::ios::in | std::ios::out | std::ios::binary);
      for (std::uint64_t fat = 0; fat < 2; ++fat) {
        f.seekp(static_cast<std::streamoff>((kPartitionStart + reserved + fat * fatSectors) * 512 + entry * 4));
        f.write(value, 4);
      }
    }
    CardSession session = CardFat(*target, 'e').Open(false, true);
    const std::string why = WhyNotTheNewVolume(session, target->partitionStart, kSerial);
    if (*c.why == '\0')
      EXPECT_EQ(why, "");
    else
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

TEST(Formatter, TheSerialNumberOfAVolume) {
  std::uint8_t sector[512] = {};
  sector[11] = 0x00, sector[12] = 0x02, sector[510] = 0x55, sector[511] = 0xAA;
  // FAT32: no sectors per FAT in the old field, the record at 64.
  sector[66] = 0x29, sector[67] = 0x78, sector[68] = 0x56, sector[69] = 0x34, sector[70] = 0x12;
  EXPECT_EQ(VolumeSerial(sector), 0x12345678u);
  // FAT16: sectors per FAT in the old field, the record at 36.
  sector[22] = 0x20, sector[38] = 0x29, sector[39] = 0xEF, sector[40] = 0xBE, sector[41] = 0xAD, sector[42] = 0xDE;
  EXPECT_EQ(VolumeSerial(sector), 0xDEADBEEFu);
  sector[38] = 0;  // no extended boot record
  EXPECT_EQ(VolumeSerial(sector), std::nullopt);
  sector[38] = 0x29, sector[510] = 0;  // no boot sector
  EXPECT_EQ(VolumeSerial(sector), std::nullopt);
}

// A FAT folder has 65,536 directory slots: a name takes one, and its long
// name's slots unless the short entry alone can show it.
TEST(ArchiveFolders, ANameTakesItsShortEntryAndItsLongNamesSlots) {
  const struct {
    std::string name;
    std::uint32_t slots;
  } cases[] = {
      {"BLDR", 1},
      {"NK.BIN", 1},
      {"readme.txt", 1},            // lower case: the case byte tells it
      {"README.txt", 1},            // base and extension each in one case
      {"ReadMe.txt", 2},            // mixed case needs the long name
      {"abcdefghi", 2},             // longer than 8.3
      {"a b.txt", 2},               // a blank has no place in a short name
      {"a.b.c", 2},                 // two dots
      {"abcdefghijklm", 2},         // 13 units: one long-name slot
      {"abcdefghijklmn", 3},        // 14 units: two
      {"Übersicht Maße", 3},        // 14 units beyond ASCII
      {"\xF0\x9F\x98\x80.txt", 2},  // a surrogate pair: 6 units
      {std::string(255, 'n'), 21},
  };
  for (const auto& c : cases) EXPECT_EQ(DirectorySlots(c.name), c.slots) << c.name;
}

TEST(ArchiveFolders, AFolderHoldsAtMostItsSlots) {
  auto files = [](const std::string& folder, int count, const char* format) {
    std::vector<ArchiveItem> items;
    for (int i = 0; i < count; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, format, i);
      items.push_back({folder + name, false, 0});
    }
    return items;
  };
  auto join = [](std::vector<ArchiveItem> a, const std::vector<ArchiveItem>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const struct {
    const char* name;
    std::vector<ArchiveItem> items;
    std::optional<std::string> crowded;
    std::uint64_t slots;
  } cases[] = {
      // The root holds the label besides: 65,535 names fill it.
      {"a full root", files("", 65535, "F%05d"), std::nullopt, 0},
      {"one beyond in the root", files("", 65536, "F%05d"), "", 65537},
      // A subfolder holds "." and "..".
      {"a full subfolder", files("logs/", 65534, "F%05d"), std::nullopt, 0},
      {"one beyond in a subfolder", files("logs/", 65535, "F%05d"), "logs", 65537},
      {"long names, three slots each", files("Logs/", 21844, "long file name %05d"), std::nullopt, 0},
      {"long names, one beyond", files("Logs/", 21845, "long file name %05d"), "Logs", 65537},
      // One entry per name up to case, however often the archive lists it.
      {"names listed twice", join(files("logs/", 65534, "F%05d"), files("LOGS/", 65534, "f%05d")), std::nullopt, 0},
      // Folders that only the paths of their files make.
      {"an implied folder", files("deep/er/", 65535, "F%05d"), "deep/er", 65537},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto crowded = FindCrowdedFolder(c.items);
    ASSERT_EQ(crowded.has_value(), c.crowded.has_value());
    if (!crowded) continue;
    EXPECT_EQ(crowded->path, *c.crowded);
    EXPECT_EQ(crowded->slots, c.slots);
  }
}

// Every name and path of the card's project folder must fit where the copy
// goes: one name at most NAME_MAX bytes of UTF-8, a path less than PATH_MAX.
TEST(ProjectTree, NamesAndPathsThatCannotBeSaved) {
  auto repeat = [](const std::string& text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += text;
    return out;
  };
  const SaveLimits limits{255, 4096, 40};
  const std::string a127 = repeat("ä", 127), a128 = repeat("ä", 128), a130 = repeat("ä", 130);
  const std::string deep = repeat(std::string(99, 'f') + "/", 40) + std::string(15, 'f');  // 4015 bytes
  const struct {
    std::string path, name;
    const char* why;  // "" when it can be saved
  } cases[] = {
      {"main.prj", "main.prj", ""},
      {"screens/" + a127, a127, ""},  // 254 bytes
      {"screens/" + a128, a128, "a name of 256 bytes, longer than the 255 bytes"},
      {a130, a130,
       "a name of 260 bytes, longer than the 255 bytes a name may have in the folder the copy goes to: "
       "Project/ää"},
      {"a/..", "..", "a name that points at a folder itself (\"..\"): Project/a/.."},
      {"ctrl\x01name.txt", "ctrl\x01name.txt", "a name with a control character: Project/ctrl\\x01name.txt"},
      {"back\\slash", "back\\slash", "a name with a path separator: Project/back\\\\slash"},
      {deep + std::string(40, 'x'), "x", ""},  // 40 + 4055 bytes and the NUL: 4096
      {deep + std::string(41, 'x'), "x", "a path of 4096 bytes in the folder the copy goes to, longer than the 4095"},
  };
  for (const auto& c : cases) {
    const std::string why = WhyProjectEntryCannotBeSaved(c.path, c.name, limits);
    if (*c.why == '\0')
      EXPECT_EQ(why, "") << c.path.substr(0, 40);
    else
      EXPECT_NE(why.find(c.why), std::string::npos) << why.substr(0, 300);
  }

  Scratch s;
  const SaveLimits here = SaveLimitsFor(s.path().string() + "/");
  EXPECT_EQ(here.nameMax, static_cast<std::size_t>(pathconf(s.path().c_str(), _PC_NAME_MAX)));
  EXPECT_EQ(here.pathMax, std::size_t{PATH_MAX});
  // "<folder>/<copy's folder>/Project/"
  EXPECT_GE(here.prefixBytes, s.path().string().size() + std::string("/QVFFFF/Project/").size());
}

// The card's Project folder read through before the question: every folder
// and every file's data, every name against the folder the copy goes to.
TEST(ProjectTree, ReadThroughBeforeTheQuestion) {
  enum class Card {
    NoProject,
    Fine,
    ProjectIsAFile,
    LongName,
    ControlCharacter,
    BrokenFile,
    BrokenFolder,
    Spoiled,
    Blank
  };
  const struct {
    const char* name;
    Card card;
    std::vector<std::string> why;  // parts of the refusal, in order; none when it can be saved
  } cases[] = {
      {"no project folder", Card::NoProject, {}},
      {"a sound project folder", Card::Fine, {}},
      {"a card never formatted", Card::Blank, {}},
      {"a file named Project", Card::ProjectIsAFile, {"e:/Project is a file, not a folder"}},
      {"a name too long for the copy's folder", Card::LongName, {"a name of 260 bytes", "Project/screens/ääää"}},
      {"a control character in a name",
       Card::ControlCharacter,
       {"a name with a control character: Project/ctrl\\x01name.txt"}},
      {"a file whose chain is broken",
       Card::BrokenFile,
       {"its file Project/screens/start.bmp cannot be read (the card's FAT file system is damaged)"}},
      {"a folder whose chain is broken",
       Card::BrokenFolder,
       {"its folder Project/screens cannot be read (the card's FAT file system is damaged)"}},
      {"a volume that cannot be read", Card::Spoiled, {"the card's files cannot be read"}},
  };
  auto repeat = [](const std::string& text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += text;
    return out;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch s;
    const fs::path card = s / "card.img";
    MakeCard(card, {96, std::nullopt, c.card != Card::Blank});
    const Tree project = {
        {"main.prj", "the operator's project"}, {"screens/start.bmp", std::string(20000, 's')}, {"ctrlXname.txt", "x"}};
    if (c.card == Card::ProjectIsAFile) {
      WriteTree(s / "files", {{"Project", "a file"}});
      Mtools(card, "mcopy " + Quote((s / "files" / "Project").string()) + " ::/Project");
    } else if (c.card != Card::NoProject && c.card != Card::Blank) {
      WriteTree(s / "project", project);
      PutOnCard(card, s / "project", "Project");
    }
    if (c.card == Card::LongName) WriteCardFile(card, "Project/screens/" + repeat("ä", 130), "x");
    if (c.card == Card::ControlCharacter) {
      // The long name's first slot holds "ctrlX" as UTF-16: X becomes 0x01.
      std::string bytes;
      {
        std::ifstream in(card, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
      }
      const std::string units("c\0t\0r\0l\0X\0", 10);
      const std::size_t at = bytes.find(units);
      ASSERT_NE(at, std::string::npos);
      std::fstream f(card, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(static_cast<std::streamoff>(at + 8));
      f.put('\x01');
    }
    std::string error;
    const auto target = ResolveCardTarget(card.string(), error);
    ASSERT_TRUE(target) << error;
    if (c.card == Card::BrokenFile) BreakChain(card, "Project/screens/start.bmp");
    if (c.card == Card::BrokenFolder) BreakChain(card, "Project/screens");
    if (c.card == Card::Spoiled) {
      std::fstream f(card, std::ios::in | std::ios::out | std::ios::binary);
      for (std::uint64_t at : {0, 6}) {
        f.seekp(static_cast<std::streamoff>((kPartitionStart + at) * 512));
        f.write("another file system", 19);
      }
    }
    fs::create_directories(s / "save");
    const std::string why = CheckProjectTree(CardFat(*target, 'e'), (s / "save").string());
    if (c.why.empty()) {
      EXPECT_EQ(why, "");
      continue;
    }
    std::size_t at = 0;
    for (const std::string& part : c.why) {
      const std::size_t found = why.find(part, at);
      EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << part << "\n" << why;
      if (found != std::string::npos) at = found + part.size();
    }
    EXPECT_NE(why.find("run again with --no-preserve."), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace e2e

// The saved copy of the operator's project: names from the card never
// become paths, every file is made durable, the copy is private and held.
namespace e2e {
namespace {

using namespace tessarin::linux_port;
namespace fat = tessarin::fat;

// Every path below root, links not followed.
std::set<std::string> PathsBelow(const fs::path& root) {
  std::set<std::string> paths;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    paths.insert(it->path().string());
  return paths;
}

// Gives the entry whose long name is placeholder the name hostile (as
// many characters, ASCII) in the image's bytes: a name no tool writes and
// our own layer refuses, as a card from the field may still hold it.
void RenameInImage(const fs::path& image, const std::string& placeholder, const std::string& hostile) {
  ASSERT_EQ(placeholder.size(), hostile.size());
  constexpr std::size_t kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::vector<std::uint8_t> bytes = ReadBytes(image, 0, static_cast<std::size_t>(fs::file_size(image)));
  int patched = 0;
  for (std::size_t at = 0; at + 32 <= bytes.size(); at += 32) {
    std::uint8_t* first = bytes.data() + at;
    const std::size_t slots = first[0] & 0x1F;
    if (first[11] != 0x0F || (first[0] & 0x40) == 0 || slots == 0 || at + 32 * (slots + 1) > bytes.size()) continue;
    // The slots hold the name's pieces last first.
    auto unit = [&](std::size_t i) -> std::uint8_t* {
      return first + 32 * (slots - 1 - i / 13) + kUnitOffsets[i % 13];
    };
    bool match = true;
    for (std::size_t i = 0; i <= placeholder.size() && match; ++i) {
      const std::uint16_t want = i < placeholder.size() ? static_cast<std::uint8_t>(placeholder[i]) : 0;
      match = i >= slots * 13 ? i == placeholder.size() : (unit(i)[0] | unit(i)[1] << 8) == want;
    }
    if (!match) continue;
    for (std::size_t i = 0; i < hostile.size(); ++i) unit(i)[0] = static_cast<std::uint8_t>(hostile[i]);
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(at));
    file.write(reinterpret_cast<const char*>(first), static_cast<std::streamsize>(32 * slots));
    ++patched;
  }
  EXPECT_EQ(patched, 1) << placeholder;
}

struct CardWithFiles {
  std::optional<CardTarget> target;
  std::unique_ptr<CardFat> fat;
};

// A formatted card whose files (a trailing '/' makes a folder) are
// written by our own layer.
CardWithFiles MakeCardWith(const fs::path& image, const Tree& tree) {
  MakeCard(image, {64, std::nullopt, true});
  CardWithFiles card;
  std::string error;
  card.target = ResolveCardTarget(image.string(), error);
  EXPECT_TRUE(card.target) << error;
  if (!card.target) return card;
  card.fat = std::make_unique<CardFat>(*card.target, 'e');
  CardSession s = card.fat->Open(true);
  EXPECT_TRUE(s.volume) << s.why;
  if (!s.volume) return card;
  for (const auto& [path, text] : tree) {
    if (path.back() == '/') {
      EXPECT_TRUE(s.volume->MakeFolders(path.substr(0, path.size() - 1)).ok()) << path;
      continue;
    }
    EXPECT_TRUE(s.volume->MakeFolders(fs::path(path).parent_path().string()).ok()) << path;
    TextSource source(text);
    EXPECT_TRUE(s.volume->WriteFile(path, source).ok()) << path;
  }
  EXPECT_TRUE(s.volume->Flush().ok());
  return card;
}

TEST(SavedCopy, HostileCardNamesStopTheCopyBeforeAnythingIsWritten) {
  struct Case {
    const char* name;
    std::string hostile;
    bool folder;        // the hostile entry is a folder (with a file in it)
    const char* where;  // the folder of the project that holds it
  };
  const Case cases[] = {
      {"UpAndOut", "../../../../tmp/x", false, ""},
      {"UpIntoTheSaveFolder", "../escaped.txt", false, ""},
      {"UpFromASubfolder", "../../escaped.txt", false, "sub/"},
      {"Backslashes", "..\\..\\escaped.txt", false, ""},
      {"SlashInside", "sub/inner.txt", false, ""},
      {"DotFolder", ".", true, ""},
      {"DotDotFolder", "..", true, "sub/"},
      {"ControlSequence", "clear\x1b[2J", false, ""},
      {"TabBreaksTheNamesList", "a\tb", false, ""},
      {"LineBreak", "two\nlines", false, "sub/"},
      {"Delete", "del\x7f", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch s;
    const std::string placeholder(c.hostile.size(), '+');
    Tree tree = {{"Project/keep.txt", "kept"}, {"Project/sub/inner.txt", "inner"}};
    const std::string entry = "Project/" + std::string(c.where) + placeholder;
    if (c.folder)
      tree[entry + "/inside.txt"] = "would land beside the copy";
    else
      tree[entry] = "would land outside";
    CardWithFiles card = MakeCardWith(s / "card.img", tree);
    ASSERT_TRUE(card.fat);
    RenameInImage(s / "card.img", placeholder, c.hostile);

    fs::create_directory(s / "QV1");
    const fs::path copy = s / "QV1" / "Project";
    const fs::path naive = fs::weakly_canonical(copy / (std::string(c.where) + c.hostile));
    const bool naiveThere = fs::exists(fs::symlink_status(naive));
    const std::set<std::string> before = PathsBelow(s.path());
    NoProgress progress;
    std::vector<std::string> diagnostics;
    CardFiles files(
        *card.fat, [&](const std::string& d) { diagnostics.push_back(d); }, nullptr, progress);
    EXPECT_FALSE(files.CopyFolderTree("e:/Project", copy.string()));
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_NE(diagnostics[0].find("\"" + tessarin::EscapeName(std::string(c.where) + c.hostile) + "\""),
              std::string::npos)
        << diagnostics[0];
    EXPECT_EQ(PathsBelow(s.path()), before) << "nothing is written, not even the copy's folder";
    EXPECT_EQ(fs::exists(fs::symlink_status(naive)), naiveThere) << naive;
  }
}

// The copy of a sound project: private, complete with the card's short
// names, and back on another card the same entries as on the first.
TEST(SavedCopy, ACopyFromTheCardGoesBackWithItsShortNames) {
  Scratch s;
  Tree tree = {{"Project/main.prj", "project"},
               {"Project/alarm_log_2026-12-10_0001.csv", "1"},
               {"Project/alarm_log_2026-12-10_0002.csv", Noise(70000, 3)},
               {"Project/alarm_log_2026-12-10_0003.csv", "3"},
               {"Project/Übersicht Maße.txt", "names beyond ASCII"},
               {"Project/screens/Long name with blanks.txt", "long"},
               {"Project/empty folder/", ""}};
  CardWithFiles first = MakeCardWith(s / "first.img", tree);
  ASSERT_TRUE(first.fat);
  // The first alarm file gone: the others keep ~2 and ~3, which a card
  // written anew would not give them by itself.
  {
    CardSession session = first.fat->Open(true);
    ASSERT_TRUE(session.volume);
    ASSERT_TRUE(session.volume->Remove("Project/alarm_log_2026-12-10_0001.csv").ok());
    tree.erase("Project/alarm_log_2026-12-10_0001.csv");
  }
  CardWithFiles second = MakeCardWith(s / "second.img", {{"Other/x", "x"}});
  ASSERT_TRUE(second.fat);
  fs::create_directory(s / "QV1");
  const fs::path copy = s / "QV1" / "Project";
  NoProgress progress;
  std::vector<std::string> diagnostics;
  auto diagnose = [&](const std::string& d) { diagnostics.push_back(d); };

  CardFiles fromFirst(*first.fat, diagnose, nullptr, progress);
  ASSERT_TRUE(fromFirst.CopyFolderTree("e:/Project", copy.string())) << testing::PrintToString(diagnostics);
  Tree local;
  for (const auto& [path, text] : tree) local[path.substr(std::string("Project/").size())] = text;
  local["screens/"] = "";
  const Tree copied = ReadTree(copy);
  EXPECT_EQ(Digest(copied), Digest(local));
  for (const auto& e : fs::recursive_directory_iterator(copy)) {
    const auto mode = e.symlink_status().permissions() & fs::perms::all;
    EXPECT_EQ(mode, e.is_directory() ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write)
        << e.path();
  }
  // Nothing beside the copy but its list of names, one line an entry.
  std::set<std::string> inSaveFolder;
  for (const auto& e : fs::directory_iterator(s / "QV1")) inSaveFolder.insert(e.path().filename().string());
  EXPECT_EQ(inSaveFolder, (std::set<std::string>{"Project", "Project.names"}));
  const auto names = ParseNames(ReadFileBytes(s / "QV1" / "Project.names"));
  EXPECT_EQ(names.size(), copied.size());
  EXPECT_EQ(names.at("alarm_log_2026-12-10_0003.csv").shortName, "ALARM_~3.CSV");

  CardFiles toSecond(*second.fat, diagnose, nullptr, progress);
  ASSERT_TRUE(toSecond.CopyFolderTree(copy.string(), "e:/Project")) << testing::PrintToString(diagnostics);
  EXPECT_EQ(MdirListing(CardVolume(s / "second.img"), "Project"), MdirListing(CardVolume(s / "first.img"), "Project"));
  EXPECT_EQ(FsckFindings(s / "second.img"), std::vector<std::string>{});
}

// Links in a saved copy lead anywhere: the copy back takes none of them,
// names each, and does not call the copy put back.
TEST(SavedCopy, LinksInTheSavedCopyAreNotFollowed) {
  Scratch s;
  CardWithFiles card = MakeCardWith(s / "card.img", {{"Other/x", "x"}});
  ASSERT_TRUE(card.fat);
  WriteTree(s / "QV1" / "Project", {{"main.prj", "project"}, {"screens/a.txt", "a"}});
  WriteTree(s / "outside", {{"secret.txt", "not the operator's"}, {"folder/b.txt", "b"}});
  fs::create_symlink(s / "outside" / "secret.txt", s / "QV1" / "Project" / "secret.txt");
  fs::create_symlink(s / "outside" / "folder", s / "QV1" / "Project" / "screens" / "folder");
  MustShell("mkfifo " + Quote(s / "QV1" / "Project" / "pipe"));
  NoProgress progress;
  std::vector<std::string> diagnostics, warnings;
  CardFiles files(
      *card.fat, [&](const std::string& d) { diagnostics.push_back(d); },
      [&](const std::string& w) { warnings.push_back(w); }, progress);
  EXPECT_FALSE(files.CopyFolderTree((s / "QV1" / "Project").string(), "e:/Project"));
  const std::string shown = testing::PrintToString(warnings);
  for (const char* name : {"e:/Project/secret.txt (a symbolic link", "e:/Project/screens/folder (a symbolic link",
                           "e:/Project/pipe (neither a file nor a folder"})
    EXPECT_NE(shown.find(name), std::string::npos) << name << " in " << shown;
  EXPECT_EQ(CardTree(s / "card.img", "Project", s.path()),
            (Tree{{"main.prj", "project"}, {"screens/", ""}, {"screens/a.txt", "a"}}));
  // The saved copy itself is a link: not read at all.
  fs::create_symlink(s / "outside", s / "QV2");
  diagnostics.clear();
  EXPECT_FALSE(files.CopyFolderTree((s / "QV2").string(), "e:/Other"));
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_NE(diagnostics[0].find("a symbolic link"), std::string::npos) << diagnostics[0];
}

TEST(SavedCopy, NoteIsReplacedWholeAndNeverThroughALink) {
  Scratch s;
  CardWithFiles card = MakeCardWith(s / "card.img", {});
  ASSERT_TRUE(card.fat);
  NoProgress progress;
  CardFiles files(*card.fat, nullptr, nullptr, progress);
  fs::create_directory(s / "QV1");
  WriteTree(s / "outside", {{"target.txt", "not to be touched"}});
  fs::create_symlink(s / "outside" / "target.txt", s / "QV1" / "Linked.txt");
  struct Case {
    const char* name;
    const char* file;
    bool written;
  };
  const Case cases[] = {
      {"New", "QV1/Card.txt", true},
      {"Replaced", "QV1/Card.txt", true},
      {"LinkReplacedNotFollowed", "QV1/Linked.txt", true},
      {"FolderMissing", "QV9/Card.txt", false},
      {"OnTheCard", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = std::string("Mark=") + c.name + "\n" + Noise(100000, 5);
    const std::string path = *c.file != '\0' ? (s / c.file).string() : "e:/Card.txt";
    EXPECT_EQ(files.WriteTextFile(path, text), c.written);
    if (!c.written) continue;
    EXPECT_EQ(files.ReadTextFile(path, 1 << 20), text);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(ReadTree(s / "outside"), (Tree{{"target.txt", "not to be touched"}}));
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(s / "QV1")) left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"Card.txt", "Linked.txt"})) << "no file of a write left over";

  // Removed for good; a file that is not there is as good as removed.
  EXPECT_TRUE(files.RemoveFile((s / "QV1" / "Card.txt").string()));
  EXPECT_FALSE(fs::exists(s / "QV1" / "Card.txt"));
  EXPECT_TRUE(files.RemoveFile((s / "QV1" / "Card.txt").string()));
  EXPECT_TRUE(files.RemoveFile((s / "QV9" / "Card.txt").string()));
  EXPECT_FALSE(files.RemoveFile((s / "QV1").string())) << "a folder is no file";
}

TEST(SavedCopy, OnlyARealFolderOfThisUserThatNobodyElseWritesIsPrivate) {
  Scratch s;
  CardWithFiles card = MakeCardWith(s / "card.img", {});
  ASSERT_TRUE(card.fat);
  NoProgress progress;
  CardFiles files(*card.fat, nullptr, nullptr, progress);
  struct Case {
    const char* name;
    const char* setup;  // shell lines in the scratch folder, making QV1
    const char* why;    // empty: private
  };
  const Case cases[] = {
      {"OwnClosed", "mkdir -m 700 QV1", ""},
      {"OthersMayRead", "mkdir -m 755 QV1", ""},
      {"GroupWrites", "mkdir -m 770 QV1", "other users may write in it (mode 0770)"},
      {"EveryoneWrites", "mkdir -m 777 QV1", "other users may write in it (mode 0777)"},
      {"StickyButOpen", "mkdir -m 1777 QV1", "other users may write in it (mode 1777)"},
      {"Link", "mkdir -m 700 real && ln -s real QV1", "a symbolic link"},
      {"File", "touch QV1", "not a folder"},
      {"Missing", "true", "cannot be examined"},
      {"AnotherUsers", "mkdir -m 700 QV1 && chown 65534 QV1", "belongs to user 65534"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "AnotherUsers" && geteuid() != 0) continue;  // only root gives folders away
    MustShell("cd " + Quote(s.path()) + " && rm -rf QV1 real && " + c.setup);
    std::string why = "left over";
    EXPECT_EQ(files.IsPrivateFolder((s / "QV1").string(), &why), *c.why == '\0');
    if (*c.why == '\0')
      EXPECT_EQ(why, "");
    else
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
  EXPECT_FALSE(files.IsPrivateFolder("e:/Project", nullptr));
}

TEST(SavedCopy, FoldersAreMadeNewPrivateAndHeldByOneRestore) {
  Scratch s;
  CardWithFiles card = MakeCardWith(s / "card.img", {});
  ASSERT_TRUE(card.fat);
  NoProgress progress;
  auto first = std::make_unique<CardFiles>(*card.fat, nullptr, nullptr, progress);
  CardFiles second(*card.fat, nullptr, nullptr, progress);
  const std::string qv1 = (s / "QV1").string(), qv2 = (s / "QV2").string();

  const mode_t umaskBefore = umask(0277);  // a umask that would leave the owner nothing to write with
  EXPECT_TRUE(first->MakeDirectory(qv1));
  umask(umaskBefore);
  EXPECT_EQ(fs::status(qv1).permissions() & fs::perms::all, fs::perms::owner_all);
  // Anything at the name fails it, whatever it is.
  fs::create_directory(s / "taken");
  WriteTree(s.path(), {{"file", "x"}});
  fs::create_symlink(s / "nowhere", s / "dangling");
  for (const char* taken : {"QV1", "taken", "file", "dangling"})
    EXPECT_FALSE(second.MakeDirectory((s / taken).string())) << taken;
  EXPECT_FALSE(fs::exists(s / "nowhere")) << "nothing made where a link points";

  // Made is held: by the one that made it, once more; by another not.
  EXPECT_TRUE(first->HoldFolder(qv1));
  EXPECT_TRUE(first->HoldFolder(qv1 + "/"));
  EXPECT_FALSE(second.HoldFolder(qv1));
  EXPECT_EQ(second.ListFolders(s.path().string(), "qv"), std::vector<std::string>{}) << "held: waits for nobody";
  first->ReleaseFolder(qv1);
  EXPECT_EQ(second.ListFolders(s.path().string(), "qv"), std::vector<std::string>{"QV1"});
  EXPECT_TRUE(second.HoldFolder(qv1));
  EXPECT_FALSE(first->HoldFolder(qv1));
  second.ReleaseFolder(qv1);

  fs::create_directory(qv2);
  EXPECT_TRUE(first->HoldFolder(qv2));
  EXPECT_FALSE(second.HoldFolder(qv2));
  first.reset();  // the restore ends: its holds with it
  EXPECT_TRUE(second.HoldFolder(qv2));
  fs::create_symlink(qv1, s / "QV3");
  EXPECT_FALSE(second.HoldFolder((s / "QV3").string())) << "a link is not held";
  EXPECT_FALSE(second.HoldFolder((s / "missing").string()));
}

TEST(SavedCopy, TreesAreFlushedAndFilesReadWithoutFollowingLinks) {
  Scratch s;
  CardWithFiles card = MakeCardWith(s / "card.img", {});
  ASSERT_TRUE(card.fat);
  NoProgress progress;
  CardFiles files(*card.fat, nullptr, nullptr, progress);
  const std::string big = Noise(300000, 9);
  WriteTree(s / "QV1", {{"Project/a.txt", "a"}, {"Project/sub/big.bin", big}, {"Project.names", "#\n"}});
  fs::create_symlink(s / "nowhere", s / "QV1" / "Project" / "dangling");
  MustShell("mkfifo " + Quote(s / "QV1" / "Project" / "pipe"));
  fs::create_symlink(s / "QV1", s / "QVLINK");

  EXPECT_TRUE(files.FlushTree((s / "QV1").string())) << "links and pipes are entries, nothing behind them is opened";
  EXPECT_FALSE(files.FlushTree((s / "QVLINK").string()));
  EXPECT_FALSE(files.FlushTree((s / "missing").string()));

  struct Case {
    const char* path;
    bool read;
  };
  const Case cases[] = {
      {"QV1/Project/sub/big.bin", true}, {"QV1/Project/dangling", false}, {"QVLINK", false},
      {"QV1/Project/pipe", false},       {"QV1/Project/sub", false},      {"QV1/missing", false},
  };
  for (const Case& c : cases) {
    std::string got;
    std::size_t pieces = 0;
    EXPECT_EQ(files.ReadFile((s / c.path).string(),
                             [&](const std::uint8_t* bytes, std::size_t n) {
                               got.append(reinterpret_cast<const char*>(bytes), n);
                               ++pieces;
                             }),
              c.read)
        << c.path;
    if (c.read) {
      EXPECT_EQ(got, big);
      EXPECT_GT(pieces, 1u);
    }
  }
}

TEST(SavedCopy, TheSaveFolderIsTheOperatorsOrOneThatOutlivesAReboot) {
  Scratch s;
  CardWithFiles card = MakeCardWith(s / "card.img", {});
  ASSERT_TRUE(card.fat);
  NoProgress progress;
  const char* tmpdir = std::getenv("TMPDIR");
  const std::optional<std::string> saved = tmpdir != nullptr ? std::optional<std::string>(tmpdir) : std::nullopt;
  struct Case {
    const char* tmpdir;  // nullptr: unset
    const char* saveFolder;
    const char* temp;
  };
  const Case cases[] = {
      {nullptr, nullptr, "/var/tmp/"},
      {"", nullptr, "/var/tmp/"},
      {"/scratch/tmp", nullptr, "/scratch/tmp/"},
      {"/scratch/tmp/", nullptr, "/scratch/tmp/"},
      {"/scratch/tmp", "/srv/saved", "/srv/saved/"},
  };
  for (const Case& c : cases) {
    if (c.tmpdir != nullptr)
      setenv("TMPDIR", c.tmpdir, 1);
    else
      unsetenv("TMPDIR");
    CardFiles files(*card.fat, nullptr, nullptr, progress);
    if (c.saveFolder != nullptr) files.SetSaveFolder(c.saveFolder);
    EXPECT_EQ(files.TempPath(), std::string(c.temp)) << (c.tmpdir ? c.tmpdir : "unset");
  }
  if (saved)
    setenv("TMPDIR", saved->c_str(), 1);
  else
    unsetenv("TMPDIR");

  // What the system itself says about the file systems.
  for (const std::string& folder : std::vector<std::string>{"/dev/shm", "/run", "/var/tmp", "/proc", s.path()}) {
    const Output type = Shell("stat -f -c %T " + Quote(folder));
    if (type.status != 0) continue;
    const bool volatileType = type.out == "tmpfs\n" || type.out == "ramfs\n";
    EXPECT_EQ(OnVolatileFileSystem(folder), volatileType) << folder << ": " << type.out;
  }
  EXPECT_FALSE(OnVolatileFileSystem((s / "missing").string()));
}

}  // namespace
}  // namespace e2e
