// The Linux adapters: the card's files through the FAT layer, and what the
// system shows them (partition tables, mountinfo, sysfs) as fixtures.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <fstream>

#include "e2e_support.h"
#include "linux/archive_installer.h"
#include "linux/card_files.h"
#include "linux/card_format.h"
#include "linux/card_target.h"

namespace e2e {
namespace {

using namespace tessarin::linux_port;

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
  };
  const Case cases[] = {
      {"FormattedWithProject", true, nullptr, true, false},
      {"NeverFormatted", false, nullptr, false, false},
      {"BootSectorSpoiledBackupSound", true, "printf 'not a file system' | dd of=CARD bs=1 seek=1048576 conv=notrunc",
       true, false},
      {"NoFileSystemThere", true,
       "for at in 1048576 1051648; do printf 'not a file system' | dd of=CARD bs=1 seek=$at conv=notrunc; done", true,
       true},
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
  const auto back = ParseNames(text + "broken line\nX\tZZ\tpath\n\n");
  ASSERT_EQ(back.size(), names.size());
  for (const auto& [path, n] : names) {
    ASSERT_TRUE(back.count(path)) << path;
    EXPECT_EQ(back.at(path).shortName, n.shortName);
    EXPECT_EQ(back.at(path).attributes, n.attributes);
  }
  EXPECT_EQ(NamesFileOf("/tmp/QV1/Project/"), "/tmp/QV1/Project.names");
}

TEST(PartitionTable, FirstPartitionMustBeUsable) {
  struct Case {
    const char* name;
    std::uint8_t type;
    std::uint32_t start, sectors;
    bool signature;
    bool usable;
  };
  const Case cases[] = {
      {"fat32 lba", 0x0C, 2048, 100000, true, true},    {"no signature", 0x0C, 2048, 100000, false, false},
      {"empty entry", 0x00, 2048, 100000, true, false}, {"extended", 0x05, 2048, 100000, true, false},
      {"starts at 0", 0x0C, 0, 100000, true, false},    {"beyond the disk", 0x0C, 2048, 200000, true, false},
  };
  for (const Case& c : cases) {
    std::uint8_t mbr[512] = {};
    std::uint8_t* e = mbr + 446;
    e[4] = c.type;
    for (int i = 0; i < 4; ++i) {
      e[8 + i] = static_cast<std::uint8_t>(c.start >> (8 * i));
      e[12 + i] = static_cast<std::uint8_t>(c.sectors >> (8 * i));
    }
    if (c.signature) mbr[510] = 0x55, mbr[511] = 0xAA;
    const auto p = FirstPartition(mbr, 150000);
    EXPECT_EQ(p.has_value(), c.usable) << c.name;
    if (p) {
      EXPECT_EQ(p->start, c.start) << c.name;
    }
  }
}

TEST(FormatCommand, KeepsThePartitionStartAndTheRecordedGeometry) {
  CardTarget image;
  image.path = "/cards/card.img";
  image.partitionStart = 63;
  image.partitionSectors = 1000001;
  EXPECT_EQ(FormatCommand(image, Geometry{255, 63}),
            (std::vector<std::string>{"mkfs.fat", "-F", "32", "-n", "QV", "-S", "512", "-h", "63", "--offset=63", "-g",
                                      "255/63", "/cards/card.img", "500000"}));
  CardTarget disk = image;
  disk.path = "/dev/sdz";
  disk.blockDevice = true;
  const auto argv = FormatCommand(disk, std::nullopt);
  EXPECT_EQ(std::count(argv.begin(), argv.end(), "-g"), 0);
  EXPECT_EQ(std::count(argv.begin(), argv.end(), "-I"), 1);

  std::uint8_t sector[512] = {};
  sector[11] = 0x00, sector[12] = 0x02, sector[24] = 63, sector[26] = 255, sector[510] = 0x55, sector[511] = 0xAA;
  ASSERT_TRUE(RecordedGeometry(sector));
  EXPECT_EQ(RecordedGeometry(sector)->heads, 255u);
  sector[510] = 0;  // no file system yet
  EXPECT_FALSE(RecordedGeometry(sector));
}

// A sysfs tree as the kernel lays it out: dev/block/MAJ:MIN links to the
// devices, partitions below their disk, mapped devices with slaves.
class FakeSysfs {
 public:
  explicit FakeSysfs(const fs::path& root) : root_(root) { fs::create_directories(root / "dev" / "block"); }
  fs::path Disk(const std::string& name, dev_t dev) { return Add(root_ / "devices" / "pci0" / "block" / name, dev); }
  fs::path Partition(const fs::path& disk, const std::string& name, dev_t dev) {
    const fs::path p = Add(disk / name, dev);
    std::ofstream(p / "partition") << "1\n";
    return p;
  }
  fs::path Mapped(const std::string& name, dev_t dev, const fs::path& slave) {
    const fs::path p = Add(root_ / "devices" / "virtual" / "block" / name, dev);
    fs::create_directories(p / "slaves");
    fs::create_directory_symlink(slave, p / "slaves" / slave.filename());
    return p;
  }
  std::string path() const { return root_.string(); }

 private:
  fs::path Add(const fs::path& dir, dev_t dev) {
    fs::create_directories(dir);
    const std::string num = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    std::ofstream(dir / "dev") << num << "\n";
    fs::create_directory_symlink(dir, root_ / "dev" / "block" / num);
    return dir;
  }
  fs::path root_;
};

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
