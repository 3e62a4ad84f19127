// The Linux adapters against fixtures of what the system shows them: mdir
// listings, partition tables, mountinfo and sysfs.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <fstream>

#include "e2e_support.h"
#include "linux/archive_installer.h"
#include "linux/card_format.h"
#include "linux/card_target.h"
#include "linux/card_volume.h"

namespace e2e {
namespace {

using namespace tessarin::linux_port;

TEST(CardListing, NamesFoldersSizesAndLongNames) {
  const std::string listing =
      " Volume in drive E is QV         \n"
      " Volume Serial Number is 4286-FAC3\n"
      "Directory for E:/Project\n"
      "\n"
      ".            <DIR>     2026-12-10   2:53 \n"
      "..           <DIR>     2026-12-10   2:53 \n"
      "a        txt         3 2026-12-10   2:53 \n"
      "sub          <DIR>     2026-12-10   2:53 \n"
      "HIDDEN~1             2 2026-12-10  12:53  .hidden\n"
      "BIG      BIN 123456789 2026-12-10   2:53 \n"
      "        6 files                   5 bytes\n"
      "\n"
      "Directory for E:/Project/sub\n"
      "\n"
      ".            <DIR>     2026-12-10   2:53 \n"
      "..           <DIR>     2026-12-10   2:53 \n"
      "LONGNA~1 DAT         2 2026-12-10   2:53  Long Name [1].dat\n"
      "NOEXT               17 2026-12-10   2:53 \n"
      "ÜBERSI~1 TXT         2 2026-12-10   3:32  Übersicht ä.txt\n"
      "ÄRGER~1      <DIR>     2026-12-10   3:32  Ärger und Lösung\n"
      "        4 files                   2 bytes\n"
      "\n"
      "Total files listed:\n"
      "       15 files               5 007 bytes\n"
      "                         65 017 856 bytes free\n";
  const auto entries = ParseRecursiveListing(listing);
  std::vector<std::tuple<std::string, bool, std::uint64_t>> got;
  for (const auto& e : entries) got.emplace_back(e.path, e.directory, e.size);
  const std::vector<std::tuple<std::string, bool, std::uint64_t>> want = {
      {"a.txt", false, 3},
      {"sub", true, 0},
      {".hidden", false, 2},
      {"BIG.BIN", false, 123456789},
      {"sub/Long Name [1].dat", false, 2},
      {"sub/NOEXT", false, 17},
      {"sub/Übersicht ä.txt", false, 2},
      {"sub/Ärger und Lösung", true, 0},
  };
  EXPECT_EQ(got, want);
}

TEST(CardListing, AttributesByColumn) {
  const auto entries = ParseAttributeListing(
      "             E:/Project\n"
      "  A   H      E:/Project/a.txt\n"
      "     S       E:/Project/sub\n"
      "  A  SHR     E:/Project/sub/Long Name [1].dat\n"
      "       R     E:/Project/.hidden\n");
  std::vector<std::pair<std::string, std::uint32_t>> got;
  for (const auto& e : entries) got.emplace_back(e.path, e.attributes);
  using namespace tessarin;
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::uint32_t>>{
                     {"a.txt", kAttrArchive | kAttrHidden},
                     {"sub", kAttrSystem},
                     {"sub/Long Name [1].dat", kAttrArchive | kAttrSystem | kAttrHidden | kAttrReadOnly},
                     {".hidden", kAttrReadOnly}}));
  EXPECT_EQ(LiteralCardPath("e:\\Project\\Logo [1]*?.bmp"), "e:/Project/Logo \\[1\\]\\*\\?.bmp");
}

TEST(CardListing, ReadsWhatMcopyWrote) {
  Scratch s;
  const fs::path card = s / "card.img";
  MakeCard(card, {64, std::nullopt, true});
  WriteTree(s / "p", {{"x.txt", "12345"}, {"Folder With Blanks/y", "1"}, {"empty/", ""}});
  PutOnCard(card, s / "p", "Project");
  CardTarget t;
  t.path = card;
  t.partitionStart = kPartitionStart;
  CardVolume volume(t, 'e', s.path());
  const auto entries = volume.ListTree("e:/Project");
  ASSERT_TRUE(entries);
  std::map<std::string, std::uint64_t> got;
  for (const auto& e : *entries) got[e.path + (e.directory ? "/" : "")] = e.size;
  EXPECT_EQ(got, (std::map<std::string, std::uint64_t>{
                     {"x.txt", 5}, {"Folder With Blanks/", 0}, {"Folder With Blanks/y", 1}, {"empty/", 0}}));
  EXPECT_FALSE(volume.ListTree("e:/Missing"));
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

TEST(ArchiveOrder, TheSystemFilesGoFirstInTheKindsOrder) {
  using Names = std::vector<std::string>;
  struct Case {
    Names archive, first, written;
  } cases[] = {
      {{"README.TXT", "Hilfe", "BLDR", "NK.BIN"}, {"BLDR"}, {"BLDR", "README.TXT", "Hilfe", "NK.BIN"}},
      // Names compared as Windows compares them; the archive's spelling stays.
      {{"a.txt", "ibmdos.com", "Ibmbio.Com"}, {"IBMBIO.COM", "IBMDOS.COM"}, {"Ibmbio.Com", "ibmdos.com", "a.txt"}},
      {{"NK.BIN", "README.TXT"}, {"BLDR"}, {"NK.BIN", "README.TXT"}},
      {{"COMMAND.COM", "io.sys"}, {}, {"COMMAND.COM", "io.sys"}},
  };
  for (const Case& c : cases) EXPECT_EQ(FirstFilesFirst(c.archive, c.first), c.written);
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
