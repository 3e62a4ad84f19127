// tessarin --list: which block devices are offered as cards, against a
// system laid out as a tree (sysfs, /proc, /dev, udev's database) and
// against the machine's own disks.
#include "lx/card/card_list.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "e2e_support.h"
#include "lx/card/card_summary.h"

namespace e2e {
namespace {

using namespace tessarin::linux_port;

// A workstation with its system on two SATA disks (root and EFI on one,
// /home through dm-crypt on another, swap on a third), a USB stick that
// carries a swap file, a two-slot USB card reader (one card mounted, one
// slot empty), an SD card in the machine's own slot held open by dd, a
// spare SATA disk set read-only, an optical drive, a network block device,
// compressed swap and two loop devices, one of them attached to an image.
class LaidOutSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeSysfs sys(s_ / "sys");
    roots_.sysfs = sys.path();
    roots_.proc = (s_ / "proc").string();
    roots_.dev = (s_ / "dev").string();
    roots_.udev = (s_ / "udev").string();
    const std::string pci = "pci0000:00/";
    const std::string usb = pci + "0000:00:14.0/usb1/";

    auto disk = [&](const std::string& name, dev_t dev, const std::string& folder, const std::string& sectors,
                    bool removable) {
      const fs::path d = sys.Disk(name, dev, folder);
      FakeSysfs::Set(d, "size", sectors);
      FakeSysfs::Set(d, "removable", removable ? "1" : "0");
      FakeSysfs::Set(d, "ro", "0");
      return d;
    };
    const fs::path sda =
        disk("sda", makedev(8, 0), pci + "0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", "500000", false);
    sys.Partition(sda, "sda1", makedev(8, 1));
    sys.Partition(sda, "sda2", makedev(8, 2));
    const fs::path sdb = disk("sdb", makedev(8, 16), usb + "1-2/1-2:1.0/host6/target6:0:0/6:0:0:0", "131072", true);
    FakeSysfs::Set(sdb, "device/vendor", "Generic ");
    FakeSysfs::Set(sdb, "device/model", "SD/MMC Reader   ");
    FakeSysfs::Set(sdb, "device/type", "0");
    FakeSysfs::Set(s_ / "sys" / "devices" / (usb + "1-2"), "idVendor", "0bda");
    FakeSysfs::Set(s_ / "sys" / "devices" / (usb + "1-2"), "serial", "000000000819");
    sys.Partition(sdb, "sdb1", makedev(8, 17));
    disk("sdc", makedev(8, 32), usb + "1-2/1-2:1.0/host6/target6:0:0/6:0:0:1", "0", true);
    FakeSysfs::Set(s_ / "udev" / "data", "b8:32",
                   "S:disk/by-id/usb-Multi_Slot\nE:ID_BUS=usb\nE:ID_VENDOR_ENC=Multi\\x20Slot\n"
                   "E:ID_MODEL_ENC=CF\\x20Reader\\x20\\x20\nE:ID_SERIAL_SHORT=SLOT2");
    const fs::path sdd =
        disk("sdd", makedev(8, 48), pci + "0000:00:1f.2/ata3/host2/target2:0:0/2:0:0:0", "900000", false);
    sys.Partition(sdd, "sdd2", makedev(8, 50));
    const fs::path sde =
        disk("sde", makedev(8, 64), pci + "0000:00:1f.2/ata4/host3/target3:0:0/3:0:0:0", "800000", false);
    FakeSysfs::Set(sde, "ro", "1");
    FakeSysfs::Set(sde, "device/vendor", "ATA     ");
    FakeSysfs::Set(sde, "device/model", "CF Adapter");
    const fs::path sdf =
        disk("sdf", makedev(8, 80), pci + "0000:00:1f.2/ata5/host4/target4:0:0/4:0:0:0", "700000", false);
    const fs::path sdf1 = sys.Partition(sdf, "sdf1", makedev(8, 81));
    const fs::path dm0 = sys.Mapped("dm-0", makedev(253, 0), sdf1);
    FakeSysfs::Set(dm0, "dm/name", "crypthome");
    const fs::path sdh = disk("sdh", makedev(8, 112), usb + "1-4/1-4:1.0/host8/target8:0:0/8:0:0:0", "64000", true);
    sys.Partition(sdh, "sdh1", makedev(8, 113));
    const fs::path mmc = disk("mmcblk0", makedev(179, 0), "platform/soc/mmc_host/mmc0/mmc0:aaaa", "131072", false);
    FakeSysfs::Set(mmc, "device/type", "SD");
    FakeSysfs::Set(mmc, "device/name", "SU08G");
    FakeSysfs::Set(mmc, "device/serial", "0x0badcafe");
    sys.Partition(mmc, "mmcblk0p1", makedev(179, 1));
    disk("mmcblk0boot0", makedev(179, 8), "platform/soc/mmc_host/mmc0/mmc0:aaaa", "8192", false);
    const fs::path sr0 = disk("sr0", makedev(11, 0), pci + "0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0", "2000", true);
    FakeSysfs::Set(sr0, "device/type", "5");
    disk("nbd0", makedev(43, 0), "virtual", "100000", false);
    disk("zram0", makedev(252, 0), "virtual", "100000", false);
    const fs::path loop0 = disk("loop0", makedev(7, 0), "virtual", "204800", false);
    FakeSysfs::Set(loop0, "loop/backing_file", "/srv/images/panel card.img");
    disk("loop1", makedev(7, 1), "virtual", "0", false);

    FakeSysfs::Set(s_ / "proc" / "self", "mountinfo",
                   "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
                   "23 22 8:1 / /boot/efi rw - vfat /dev/sda1 rw\n"
                   "24 22 253:0 / /home rw - ext4 /dev/mapper/crypthome rw\n"
                   "40 22 8:17 / /media/op/PANEL\\040CARD rw,nosuid - vfat /dev/sdb1 rw\n"
                   "41 22 8:113 / /mnt/stick rw - vfat /dev/sdh1 rw\n"
                   "42 22 0:5 / /dev rw - devtmpfs udev rw");
    FakeSysfs::Set(s_ / "proc", "swaps",
                   "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n"
                   "/dev/sdd2                               partition\t1000\t0\t-2\n"
                   "/mnt/stick/swap.img                     file\t\t1000\t0\t-3");
    const fs::path dd = s_ / "proc" / "4242";
    fs::create_directories(dd / "fd");
    fs::create_symlink("/dev/mmcblk0p1", dd / "fd" / "3");
    fs::create_symlink("/dev/pts/1", dd / "fd" / "1");
    WriteFileBytes(dd / "cmdline", std::string("dd\0if=/dev/zero\0of=/dev/mmcblk0p1\0", 35));
    FakeSysfs::Set(dd / "fdinfo", "3", "pos:\t0\nflags:\t0100001\nmnt_id:\t25");
    const fs::path shell = s_ / "proc" / "4000";
    fs::create_directories(shell / "fd");
    fs::create_symlink("/dev/sda2", shell / "fd" / "0");
    FakeSysfs::Set(shell, "comm", "bash");

    // The cards themselves: one with a partition table and a labelled
    // volume, one a volume without a partition table.
    fs::create_directories(s_ / "dev");
    MakeCard(s_ / "dev" / "sdb", {64, std::nullopt, true});
    Mtools(s_ / "dev" / "sdb", "mlabel ::PANEL");
    MustShell("truncate -s 64M " + Quote(s_ / "dev" / "mmcblk0") + " && mkfs.fat -F 32 -n 'SD CARD' -i 0badf00d " +
              Quote(s_ / "dev" / "mmcblk0") + " >/dev/null");
  }

  static std::vector<std::string> Names(const std::vector<ListedCard>& cards) {
    std::vector<std::string> names;
    for (const ListedCard& c : cards) names.push_back(c.name);
    return names;
  }
  static const ListedCard& Find(const std::vector<ListedCard>& cards, const std::string& name) {
    const auto it = std::find_if(cards.begin(), cards.end(), [&](const ListedCard& c) { return c.name == name; });
    EXPECT_NE(it, cards.end()) << name;
    return *it;
  }

  Scratch s_;
  SystemRoots roots_;
};

TEST_F(LaidOutSystem, OffersCardsAndNeverTheSystemsDisks) {
  EXPECT_EQ(Names(ListCards(roots_, {false})), (std::vector<std::string>{"mmcblk0", "sdb", "sdc"}));
  // Fixed disks and attached loop devices on request; still never the
  // system's (root, EFI, /home below dm-crypt, swap partition, the stick
  // holding a swap file), never optical, network or RAM devices.
  EXPECT_EQ(Names(ListCards(roots_, {true})), (std::vector<std::string>{"loop0", "mmcblk0", "sdb", "sdc", "sde"}));

  std::vector<std::string> why;
  for (const SystemDisk& d : SystemDisks(roots_)) why.push_back(BlockDeviceName(d.disk, roots_) + ": " + d.why);
  std::sort(why.begin(), why.end());
  EXPECT_EQ(why, (std::vector<std::string>{"sda: / is mounted from /dev/sda2", "sdd: swap is on /dev/sdd2",
                                           "sdf: /home is mounted from /dev/mapper/crypthome",
                                           "sdh: swap is on /mnt/stick/swap.img"}));
}

TEST_F(LaidOutSystem, DescribesEachCard) {
  const auto cards = ListCards(roots_, {true});

  const ListedCard& reader = Find(cards, "sdb");
  EXPECT_EQ(reader.path, "/dev/sdb");
  EXPECT_EQ(reader.bus, "usb");
  EXPECT_EQ(reader.vendor, "Generic");
  EXPECT_EQ(reader.model, "SD/MMC Reader");
  EXPECT_EQ(reader.serial, "000000000819");
  EXPECT_EQ(reader.sizeBytes, 64u << 20);
  EXPECT_TRUE(reader.removable && reader.mediaPresent && !reader.readOnly);
  EXPECT_EQ(reader.mountPoints, std::vector<std::string>{"/media/op/PANEL CARD"});
  EXPECT_TRUE(reader.openBy.empty());
  EXPECT_EQ(reader.summary.layout, CardSummary::Layout::PartitionTable);
  EXPECT_EQ(reader.summary.type, 0x0C);
  EXPECT_EQ(reader.summary.start, kPartitionStart);
  ASSERT_TRUE(reader.summary.volume);
  EXPECT_EQ(reader.summary.volume->fileSystem, "FAT32");
  EXPECT_EQ(reader.summary.volume->label, "PANEL") << "the root folder's label, as Windows shows it";

  const ListedCard& empty = Find(cards, "sdc");
  EXPECT_FALSE(empty.mediaPresent);
  EXPECT_EQ(empty.vendor, "Multi Slot");
  EXPECT_EQ(empty.model, "CF Reader");
  EXPECT_EQ(empty.serial, "SLOT2");

  const ListedCard& sd = Find(cards, "mmcblk0");
  EXPECT_EQ(sd.bus, "mmc");
  EXPECT_EQ(sd.vendor + " " + sd.model + " " + sd.serial, "SD SU08G 0x0badcafe");
  ASSERT_EQ(sd.openBy.size(), 1u);
  EXPECT_EQ(sd.openBy[0].pid, 4242);
  EXPECT_EQ(sd.openBy[0].command, "dd if=/dev/zero of=/dev/mmcblk0p1");
  EXPECT_EQ(sd.summary.layout, CardSummary::Layout::Superfloppy);
  ASSERT_TRUE(sd.summary.volume && sd.summary.volume->serial);
  EXPECT_EQ(sd.summary.volume->label, "SD CARD");
  EXPECT_EQ(VolumeSerialText(*sd.summary.volume->serial), "0BAD-F00D");

  const ListedCard& fixed = Find(cards, "sde");
  EXPECT_EQ(fixed.bus, "ata");
  EXPECT_TRUE(fixed.readOnly);
  EXPECT_FALSE(fixed.InUse());
  EXPECT_EQ(fixed.summary.layout, CardSummary::Layout::Unreadable);

  EXPECT_EQ(Find(cards, "loop0").backingFile, "/srv/images/panel card.img");

  // For people: one row each, what holds a card named.
  const std::string table = CardTable(cards);
  EXPECT_NE(table.find("mounted on /media/op/PANEL CARD"), std::string::npos) << table;
  EXPECT_NE(table.find("open in PID 4242 (dd if=/dev/zero of=/dev/mmcblk0p1)"), std::string::npos) << table;
  EXPECT_NE(table.find("FAT32 (LBA), FAT32, label \"PANEL\""), std::string::npos) << table;
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 6) << table;

  // For scripts: every field, parsed by a real JSON parser.
  const std::string json = CardJsonLines(cards);
  EXPECT_EQ(JsonQuery(json, "[o['device'] for o in objs]"),
            "['/dev/loop0', '/dev/mmcblk0', '/dev/sdb', '/dev/sdc', '/dev/sde']");
  EXPECT_EQ(JsonQuery(json,
                      "[(o['bus'], o['media'], o['read_only'], o['in_use'], o['first_partition'] and "
                      "o['first_partition'].get('label')) for o in objs]"),
            "[('loop', True, False, False, None), ('mmc', True, False, True, 'SD CARD'), "
            "('usb', True, False, True, 'PANEL'), ('usb', False, False, False, None), "
            "('ata', True, True, False, None)]");
  EXPECT_EQ(JsonQuery(json, "(objs[1]['open_by'], objs[2]['mount_points'], objs[2]['first_partition']['type'])"),
            "([{'pid': 4242, 'command': 'dd if=/dev/zero of=/dev/mmcblk0p1'}], ['/media/op/PANEL CARD'], 12)");
}

// A card given as TARGET: a disk of the running system is never restored,
// whatever holds it; a card mounted or written by another program is
// refused with its holders named; one only read elsewhere (blkid, a file
// manager's probe) is free, yet named when the system refuses to hand it
// over exclusively.
TEST_F(LaidOutSystem, RefusesTargetsThatAreHeldNamingTheHolders) {
  const fs::path probe = s_ / "proc" / "4300";
  fs::create_directories(probe / "fd");
  fs::create_symlink("/dev/sde", probe / "fd" / "4");
  FakeSysfs::Set(probe / "fdinfo", "4", "pos:\t0\nflags:\t0100000");
  WriteFileBytes(probe / "cmdline", std::string("blkid\0/dev/sde\0", 16));
  const fs::path emulator = s_ / "proc" / "4400";
  fs::create_directories(emulator / "fd");
  fs::create_symlink("/srv/images/spare.img", emulator / "fd" / "9");
  FakeSysfs::Set(emulator / "fdinfo", "9", "pos:\t0\nflags:\t02100002");
  FakeSysfs::Set(emulator, "comm", "qemu-system-i38");

  struct Case {
    const char* path;
    dev_t dev;  // 0: an image file
    std::string refusal;
    std::string holders;
  };
  const Case cases[] = {
      {"/dev/sda", makedev(8, 0),
       "/dev/sda holds the running system (/ is mounted from /dev/sda2); it is never restored.",
       "mounted on /, /boot/efi; open in PID 4000 (bash)"},
      {"/dev/sdd", makedev(8, 48), "/dev/sdd holds the running system (swap is on /dev/sdd2); it is never restored.",
       ""},
      {"/dev/sdf", makedev(8, 80),
       "/dev/sdf holds the running system (/home is mounted from /dev/mapper/crypthome); it is never restored.",
       "mounted on /home; used by dm-0 (crypthome)"},
      {"/dev/sdh", makedev(8, 112),
       "/dev/sdh holds the running system (swap is on /mnt/stick/swap.img); it is never restored.",
       "mounted on /mnt/stick"},
      {"/dev/sdb", makedev(8, 16), "/dev/sdb is in use: mounted on /media/op/PANEL CARD. Free it and try again.",
       "mounted on /media/op/PANEL CARD"},
      {"/dev/mmcblk0", makedev(179, 0),
       "/dev/mmcblk0 is in use: open in PID 4242 (dd if=/dev/zero of=/dev/mmcblk0p1). Free it and try again.",
       "open in PID 4242 (dd if=/dev/zero of=/dev/mmcblk0p1)"},
      {"/dev/sde", makedev(8, 64), "", "open in PID 4300 (blkid /dev/sde)"},
      {"/dev/sdc", makedev(8, 32), "", ""},
      {"/srv/images/spare.img", 0,
       "/srv/images/spare.img is in use: open in PID 4400 (qemu-system-i38). Free it and try again.",
       "open in PID 4400 (qemu-system-i38)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CardTarget t;
    t.path = c.path;
    t.blockDevice = c.dev != 0;
    t.device = c.dev != 0 ? c.dev : makedev(8, 2);
    t.inode = 77;
    EXPECT_EQ(WhyCardIsHeld(t, roots_), c.refusal);
    EXPECT_EQ(WhatHoldsCard(t, roots_), c.holders);
  }
}

// The whole program: a card image another program is writing (an emulator
// running off it, say) is refused before anything is written, the writer
// named by PID and command.
TEST(HeldCards, AnImageAnotherProgramWritesIsRefusedByName) {
  Scratch s;
  fs::create_directories(s / "tmp");
  MakeCard(s / "card.img", {96, std::nullopt, true});
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  const std::string before = FileHash(s / "card.img");
  // The writer: the image open, and running as itself (its command is
  // what the refusal names).
  const Holder writer(s.path(), "exec 3<>card.img; exec " + HoldCommand(),
                      "test -e /proc/$pid/fd/3 && grep -q '^tail' /proc/$pid/cmdline");
  const std::string pid = writer.pid();

  const Output run = RunTessarin(s.path(), s / "tmp", "--yes card.img");
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("card.img is in use: open in PID " + pid + " (" + HoldCommand() + "). Free it and try again."),
            std::string::npos)
      << run.err;
  EXPECT_EQ(FileHash(s / "card.img"), before);
}

// The machine's own disks: whatever it has, the disk holding "/" is never
// offered, and a loop device over a card image is, with --all only.
TEST(ListOfThisMachine, NeverTheDiskHoldingRoot) {
  Scratch s;
  MakeCard(s / "card.img", {64, std::nullopt, true});
  Mtools(s / "card.img", "mlabel ::LOOPCARD");
  const LoopDevice card(s / "card.img");
  const std::string& loop = card.device();

  const Output all = Shell(Quote(TESSARIN_PROGRAM) + " --list --all --json");
  ASSERT_EQ(all.status, 0) << all.err;
  const Output cards = Shell(Quote(TESSARIN_PROGRAM) + " --list --json");
  ASSERT_EQ(cards.status, 0) << cards.err;
  const Output table = Shell(Quote(TESSARIN_PROGRAM) + " --list --all");
  ASSERT_EQ(table.status, 0) << table.err;

  // The root's disk, as util-linux sees it.
  std::string source = MustShell("findmnt -nvo SOURCE /");
  while (!source.empty() && source.back() == '\n') source.pop_back();
  std::string parent = Shell("lsblk -ndo PKNAME " + Quote(source)).out;
  while (!parent.empty() && parent.back() == '\n') parent.pop_back();
  const std::string rootDisk = parent.empty() ? source : "/dev/" + parent;
  const std::string listed = JsonQuery(all.out, "' '.join(o['device'] for o in objs)");
  for (const std::string& devices : {listed, JsonQuery(cards.out, "' '.join(o['device'] for o in objs)")}) {
    EXPECT_EQ((" " + devices + " ").find(" " + rootDisk + " "), std::string::npos)
        << rootDisk << " holds / and was listed: " << devices;
  }
  EXPECT_EQ(table.out.find(rootDisk + " "), std::string::npos) << table.out;

  if (loop.empty()) GTEST_SKIP() << "no loop device to stand for a card: " << card.error();
  EXPECT_EQ(JsonQuery(all.out,
                      "[(o['bus'], o['backing_file'], o['first_partition']['label']) for o in objs if "
                      "o['device'] == '" +
                          loop + "']"),
            "[('loop', '" + (s / "card.img").string() + "', 'LOOPCARD')]");
  EXPECT_EQ(JsonQuery(cards.out, "[o for o in objs if o['device'] == '" + loop + "']"), "[]");
  EXPECT_NE(table.out.find(loop), std::string::npos) << table.out;
}

// What a card's first sectors say, for shapes a card can come in.
TEST(CardSummary, PartitionTablesAndVolumes) {
  Scratch s;
  struct Case {
    const char* name;
    std::string make;  // shell lines that make card.img
    std::string described;
  };
  const std::string img = Quote(s / "card.img");
  const Case cases[] = {
      {"blank", "truncate -s 8M " + img, "no partition table"},
      {"fat16 partition",
       "truncate -s 32M " + img + " && echo 'start=63, type=6' | sfdisk -q " + img +
           " && mkfs.fat -F 16 -n DOSCARD -i 12345678 --offset=63 " + img + " >/dev/null",
       "FAT16, FAT16, label \"DOSCARD\", serial 1234-5678"},
      {"gpt", "truncate -s 8M " + img + " && echo 'label: gpt' | sfdisk -q " + img, "GPT (protective)"},
      {"linux partition", "truncate -s 8M " + img + " && echo 'start=2048, type=83' | sfdisk -q " + img, "Linux"},
      {"superfloppy", "truncate -s 8M " + img + " && mkfs.fat -F 12 -i cafe0001 " + img + " >/dev/null",
       "no partition table, a volume from sector 0 (FAT12), serial CAFE-0001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(s / "card.img");
    MustShell(c.make);
    EXPECT_EQ(DescribeFirstPartition(SummarizeCardAt((s / "card.img").string())), c.described);
  }
  EXPECT_EQ(SummarizeCardAt((s / "missing.img").string()).layout, CardSummary::Layout::Unreadable);
}

}  // namespace
}  // namespace e2e
