// Prepares whole-card images for the emulator boots:
//
//   boot_card_tool restore IMAGE romdos|dos|wince
//       runs the two boot-record steps of a restore over the image, with the
//       boot images the programs carry
//   boot_card_tool mbr IMAGE
//       runs the master boot record step alone (the volume keeps the boot
//       record another installer wrote)
//   boot_card_tool relocate IMAGE NAME|/ FIRST STEP
//       moves the clusters of a FAT32 root folder entry (8.3 NAME, 11
//       characters), or of the root folder itself ("/"), to the free
//       clusters FIRST, FIRST + STEP, FIRST + 2 * STEP ... in chain order,
//       and rewrites the chain, the entry or the BPB (and its backup) to
//       match: a file or root folder far from cluster 2, or fragmented
//   boot_card_tool cut-chain IMAGE NAME
//       ends the chain of a root folder entry at its first cluster, whatever
//       the entry's size says
//   boot_card_tool harness IMAGE HARNESS.bin [deny-ext] [start-drive=81]
//                                            [fail=vbr|stage2|root]
//       moves sector 0 to sector 1 and puts the test harness in front of it
//   boot_card_tool mutate IMAGE inactive|bad-indicator|no-signature|drive-81|version-1
//       spoils the restored card in one way (drive-81: the FAT12/16 BPB's
//       drive number names a disk that is not there; version-1: a FAT32
//       version this code does not know)
//   boot_card_tool chs IMAGE HEADS SECTORS
//       writes the first partition entry's CHS start and end for that
//       geometry (the partitioner's part, for the geometry the BIOS reports)
//   boot_card_tool numbered-file FILE PAYLOAD.bin BYTES
//       writes FILE of BYTES bytes: the payload's sector, then sectors that
//       each start with "SECT" and their 16-bit index (the last one may be
//       cut short), for the payloads that count what was loaded
//   boot_card_tool first-data IMAGE      prints AX and BX the loader hands over
//   boot_card_tool root-sector IMAGE     prints the root directory's first
//                                        sector as the harness logs it
//   boot_card_tool cluster IMAGE NAME [first-sector]
//       prints the low word of the first cluster of a root directory entry
//       (8.3 name, 11 characters); with first-sector only when the entry is
//       in the root directory's first sector
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "boot/boot_sector.h"
#include "boot/master_boot_record.h"
#include "bootcode/boot_images.h"
#include "image_card.h"
#include "unit/fakes.h"

namespace tessarin::test {
namespace {

constexpr const char* kDrive = "[-e-]";

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

int Fail(const std::string& what) {
  std::fprintf(stderr, "boot_card_tool: %s\n", what.c_str());
  return 1;
}

int MasterBootRecordOnly(ImageCard& card) {
  World world;
  const auto image = EmbeddedBootImage(IDR_MBR_CODE);
  world.resources.images[IDR_MBR_CODE].assign(image.begin(), image.end());
  RestoreContext ctx(
      Ports{world.ui, world.system, world.resources, card, world.format, world.installer, world.files, world.profile});
  return InstallMasterBootRecord(card, world.resources, ctx.log, kDrive) == 0
             ? 0
             : Fail("the master boot record step failed");
}

int Restore(ImageCard& card, const std::string& kindName) {
  SystemKind kind;
  if (kindName == "romdos") {
    kind = SystemKind::RomDos;
  } else if (kindName == "dos") {
    kind = SystemKind::Dos;
  } else if (kindName == "wince") {
    kind = SystemKind::WinCE;
  } else {
    return Fail("unknown system kind " + kindName);
  }

  // Everything but the card is a stand-in; the boot images are the real ones.
  World world;
  for (const ResourceFile& listed : kBootImageResources) {
    const auto image = EmbeddedBootImage(listed.id);
    world.resources.images[listed.id].assign(image.begin(), image.end());
  }
  RestoreContext ctx(
      Ports{world.ui, world.system, world.resources, card, world.format, world.installer, world.files, world.profile});
  ctx.SetSystemKind(kind);
  g_nSystemKind = kind;

  const bool ok = InstallMasterBootRecord(card, world.resources, ctx.log, kDrive) == 0 &&
                  InstallBootSector(card, world.resources, ctx.CardDefinitions(), ctx.log, kind, kind, kDrive) == 0;
  for (const auto& box : world.ui.boxes) std::fprintf(stderr, "box: %s\n", box.text.c_str());
  return ok ? 0 : Fail("the boot-record steps failed");
}

struct Volume {
  std::uint64_t start = 0;
  std::uint8_t boot[kSectorSize] = {};
  bool fat32 = false;
  std::uint64_t rootSector = 0;  // first sector of the root directory
  std::uint64_t firstData = 0;   // first sector of cluster 2
};

bool ReadVolume(ImageCard& card, Volume& v) {
  if (!card.VolumeStart(v.start) || !card.ReadSector(v.start, v.boot)) return false;
  const std::uint8_t* b = v.boot;
  const std::uint64_t fats = v.start + Le16(b + 14);
  const std::uint16_t fatSize16 = Le16(b + 22);
  v.fat32 = fatSize16 == 0;
  if (v.fat32) {
    v.firstData = fats + static_cast<std::uint64_t>(b[16]) * Le32(b + 36);
    v.rootSector = v.firstData + static_cast<std::uint64_t>(Le32(b + 44) - 2) * b[13];
  } else {
    v.rootSector = fats + static_cast<std::uint64_t>(b[16]) * fatSize16;
    v.firstData = v.rootSector + Le16(b + 17) / 16;
  }
  return true;
}

// A FAT32 volume on the card, as far as the relocations need it.
class Fat32 {
 public:
  explicit Fat32(ImageCard& card) : card_(card) {}

  bool Open() {
    if (!ReadVolume(card_, v_) || !v_.fat32) return false;
    const std::uint8_t* b = v_.boot;
    clusterSectors_ = b[13];
    fatStart_ = v_.start + Le16(b + 14);
    fatSectors_ = Le32(b + 36);
    fats_ = b[16];
    if (clusterSectors_ == 0 || fats_ == 0) return false;
    clusters_ = static_cast<std::uint32_t>((v_.start + Le32(b + 32) - v_.firstData) / clusterSectors_);
    return true;
  }

  std::uint32_t RootCluster() const { return Le32(v_.boot + 44); }
  bool IsCluster(std::uint32_t c) const { return c >= 2 && c < clusters_ + 2; }

  bool Entry(std::uint32_t cluster, std::uint32_t& value) {
    std::uint8_t sector[kSectorSize];
    if (!card_.ReadSector(fatStart_ + cluster / 128, sector)) return false;
    value = Le32(sector + cluster % 128 * 4) & 0x0FFFFFFF;
    return true;
  }

  bool SetEntry(std::uint32_t cluster, std::uint32_t value) {
    for (unsigned fat = 0; fat < fats_; ++fat) {
      const std::uint64_t lba = fatStart_ + std::uint64_t{fat} * fatSectors_ + cluster / 128;
      std::uint8_t sector[kSectorSize];
      if (!card_.ReadSector(lba, sector)) return false;
      std::uint8_t* at = sector + cluster % 128 * 4;
      value = (value & 0x0FFFFFFF) | (Le32(at) & 0xF0000000);
      for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
      if (!card_.WriteSector(lba, sector)) return false;
    }
    return true;
  }

  // The chain from first on, or empty when it is broken.
  std::vector<std::uint32_t> Chain(std::uint32_t first) {
    std::vector<std::uint32_t> chain;
    std::uint32_t c = first;
    while (IsCluster(c) && chain.size() <= clusters_) {
      chain.push_back(c);
      if (!Entry(c, c)) return {};
    }
    return c >= 0x0FFFFFF8 ? chain : std::vector<std::uint32_t>{};
  }

  std::uint64_t FirstSector(std::uint32_t cluster) const {
    return v_.firstData + std::uint64_t{cluster - 2} * clusterSectors_;
  }

  bool CopyCluster(std::uint32_t from, std::uint32_t to) {
    std::uint8_t sector[kSectorSize];
    for (unsigned i = 0; i < clusterSectors_; ++i) {
      if (!card_.ReadSector(FirstSector(from) + i, sector) || !card_.WriteSector(FirstSector(to) + i, sector))
        return false;
    }
    return true;
  }

  // The root folder entry named name: its sector and offset there.
  bool FindEntry(const std::string& name, std::uint64_t& lba, std::size_t& offset) {
    for (std::uint32_t c : Chain(RootCluster())) {
      for (unsigned i = 0; i < clusterSectors_; ++i) {
        std::uint8_t dir[kSectorSize];
        if (!card_.ReadSector(FirstSector(c) + i, dir)) return false;
        for (std::size_t at = 0; at < kSectorSize; at += 32) {
          if (dir[at] == 0) return false;
          if (std::memcmp(dir + at, name.data(), 11) == 0) {
            lba = FirstSector(c) + i;
            offset = at;
            return true;
          }
        }
      }
    }
    return false;
  }

  // Points the BPB of the boot sector and of its backup at a new root.
  bool SetRootCluster(std::uint32_t cluster) {
    const std::uint16_t backup = Le16(v_.boot + 50);
    for (std::uint64_t lba : {v_.start, v_.start + backup}) {
      if (lba == v_.start + backup && (backup == 0 || backup == 0xFFFF)) continue;
      std::uint8_t sector[kSectorSize];
      if (!card_.ReadSector(lba, sector)) return false;
      for (int i = 0; i < 4; ++i) sector[44 + i] = static_cast<std::uint8_t>(cluster >> (8 * i));
      if (!card_.WriteSector(lba, sector)) return false;
    }
    return true;
  }

 private:
  ImageCard& card_;
  Volume v_;
  unsigned clusterSectors_ = 0;
  std::uint64_t fatStart_ = 0;
  std::uint32_t fatSectors_ = 0;
  unsigned fats_ = 0;
  std::uint32_t clusters_ = 0;
};

void PutCluster(std::uint8_t* entry, std::uint32_t cluster) {
  entry[20] = static_cast<std::uint8_t>(cluster >> 16);
  entry[21] = static_cast<std::uint8_t>(cluster >> 24);
  entry[26] = static_cast<std::uint8_t>(cluster);
  entry[27] = static_cast<std::uint8_t>(cluster >> 8);
}

int Relocate(ImageCard& card, const std::string& name, std::int64_t first, std::int64_t step) {
  Fat32 fat(card);
  if (!fat.Open()) return Fail("no FAT32 volume");
  const bool root = name == "/";
  std::uint64_t entryLba = 0;
  std::size_t entryAt = 0;
  std::uint8_t dir[kSectorSize];
  std::uint32_t start = fat.RootCluster();
  if (!root) {
    if (name.size() != 11 || !fat.FindEntry(name, entryLba, entryAt)) return Fail("no root folder entry " + name);
    if (!card.ReadSector(entryLba, dir)) return Fail("cannot read the root folder");
    start = static_cast<std::uint32_t>(Le16(dir + entryAt + 20)) << 16 | Le16(dir + entryAt + 26);
  }
  const std::vector<std::uint32_t> chain = fat.Chain(start);
  if (chain.empty()) return Fail("broken chain");

  std::vector<std::uint32_t> targets;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const std::int64_t c = first + static_cast<std::int64_t>(i) * step;
    std::uint32_t value = 1;
    if (c < 0 || c > 0x0FFFFFEF || !fat.IsCluster(static_cast<std::uint32_t>(c)) ||
        !fat.Entry(static_cast<std::uint32_t>(c), value) || value != 0)
      return Fail("cluster " + std::to_string(c) + " is not a free cluster of the volume");
    targets.push_back(static_cast<std::uint32_t>(c));
  }
  for (std::size_t i = 0; i < chain.size(); ++i) {
    if (!fat.CopyCluster(chain[i], targets[i])) return Fail("cannot copy a cluster");
  }
  for (std::uint32_t c : chain) {
    if (!fat.SetEntry(c, 0)) return Fail("cannot write the FAT");
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!fat.SetEntry(targets[i], i + 1 < targets.size() ? targets[i + 1] : 0x0FFFFFFF))
      return Fail("cannot write the FAT");
  }
  if (root) return fat.SetRootCluster(targets[0]) ? 0 : Fail("cannot write the boot sector");
  PutCluster(dir + entryAt, targets[0]);
  return card.WriteSector(entryLba, dir) ? 0 : Fail("cannot write the root folder");
}

int CutChain(ImageCard& card, const std::string& name) {
  Fat32 fat(card);
  std::uint64_t lba = 0;
  std::size_t at = 0;
  std::uint8_t dir[kSectorSize];
  if (!fat.Open() || name.size() != 11 || !fat.FindEntry(name, lba, at) || !card.ReadSector(lba, dir))
    return Fail("no root folder entry " + name);
  const std::uint32_t first = static_cast<std::uint32_t>(Le16(dir + at + 20)) << 16 | Le16(dir + at + 26);
  return fat.SetEntry(first, 0x0FFFFFFF) ? 0 : Fail("cannot write the FAT");
}

int Harness(ImageCard& card, const std::string& harnessPath, const std::vector<std::string>& options) {
  std::ifstream in(harnessPath, std::ios::binary);
  std::vector<std::uint8_t> harness((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (harness.size() != 3 * kSectorSize) return Fail("harness must be three sectors: " + harnessPath);

  Volume v;
  if (!ReadVolume(card, v)) return Fail("cannot read the volume");
  std::uint32_t failLba = 0xFFFFFFFF;
  for (const std::string& option : options) {
    if (option == "deny-ext") {
      harness[515] |= 1;
    } else if (option == "start-drive=81") {
      harness[515] |= 2;
    } else if (option == "fail=vbr") {
      failLba = static_cast<std::uint32_t>(v.start);
    } else if (option == "fail=stage2") {
      failLba = static_cast<std::uint32_t>(v.start + 12);
    } else if (option == "fail=root") {
      failLba = static_cast<std::uint32_t>(v.rootSector);
    } else {
      return Fail("unknown harness option " + option);
    }
  }
  for (int i = 0; i < 4; ++i) harness[516 + i] = static_cast<std::uint8_t>(failLba >> (8 * i));

  std::uint8_t mbr[kSectorSize];
  if (!card.ReadSector(0, mbr) || !card.WriteSector(1, mbr)) return Fail("cannot move sector 0");
  std::memcpy(harness.data() + 446, mbr + 446, 64);
  if (!card.WriteSector(0, harness.data()) || !card.WriteSector(2, harness.data() + 512) ||
      !card.WriteSector(3, harness.data() + 1024)) {
    return Fail("cannot write the harness");
  }
  return 0;
}

int Mutate(ImageCard& card, const std::string& how) {
  std::uint8_t sector[kSectorSize];
  std::uint64_t lba = 0;
  if (how != "inactive" && how != "bad-indicator" && !card.VolumeStart(lba)) return Fail("cannot read sector 0");
  if (!card.ReadSector(lba, sector)) return Fail("cannot read the sector");
  if (how == "inactive") {
    for (int entry = 0; entry < 4; ++entry) sector[446 + 16 * entry] = 0;
  } else if (how == "bad-indicator") {
    sector[446] = 0x01;
  } else if (how == "version-1") {
    sector[42] = 1;
  } else if (how == "drive-81") {
    sector[36] = 0x81;
  } else if (how == "no-signature") {
    sector[510] = sector[511] = 0;
  } else {
    return Fail("unknown mutation " + how);
  }
  return card.WriteSector(lba, sector) ? 0 : Fail("cannot write the sector");
}

void PutChs(std::uint8_t* at, std::uint32_t lba, unsigned heads, unsigned sectors) {
  const std::uint32_t cylinder = std::min<std::uint32_t>(lba / (heads * sectors), 1023);
  const unsigned head = lba / sectors % heads;
  const unsigned sector = lba % sectors + 1;
  at[0] = static_cast<std::uint8_t>(head);
  at[1] = static_cast<std::uint8_t>(sector | (cylinder >> 2 & 0xC0));
  at[2] = static_cast<std::uint8_t>(cylinder);
}

int Chs(ImageCard& card, unsigned heads, unsigned sectors) {
  std::uint8_t mbr[kSectorSize];
  if (heads == 0 || sectors == 0 || !card.ReadSector(0, mbr)) return Fail("cannot read sector 0");
  std::uint8_t* entry = mbr + 446;
  const std::uint32_t start = Le32(entry + 8);
  PutChs(entry + 1, start, heads, sectors);
  PutChs(entry + 5, start + Le32(entry + 12) - 1, heads, sectors);
  return card.WriteSector(0, mbr) ? 0 : Fail("cannot write sector 0");
}

// Searches the root directory's first sector only, or the whole fixed root
// directory (FAT12/16) or the root directory's first cluster (FAT32).
int Cluster(ImageCard& card, const std::string& name, bool firstSectorOnly) {
  Volume v;
  if (!ReadVolume(card, v)) return Fail("cannot read the volume");
  const unsigned sectors = firstSectorOnly ? 1u : v.fat32 ? v.boot[13] : Le16(v.boot + 17) / 16u;
  for (unsigned s = 0; s < sectors; ++s) {
    std::uint8_t dir[kSectorSize];
    if (!card.ReadSector(v.rootSector + s, dir)) return Fail("cannot read the root directory");
    for (std::size_t at = 0; at < kSectorSize; at += 32) {
      if (std::memcmp(dir + at, name.data(), 11) == 0) {
        std::printf("%04X\n", Le16(dir + at + 26));  // the low word, as DI carries it
        return 0;
      }
    }
  }
  return Fail("no entry " + name +
              (firstSectorOnly ? " in the root directory's first sector" : " in the root directory"));
}

int NumberedFile(const std::string& path, const std::string& payloadPath, std::uint64_t bytes) {
  std::ifstream in(payloadPath, std::ios::binary);
  std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.size() != kSectorSize) return Fail("a payload is one sector: " + payloadPath);
  if (bytes < kSectorSize || bytes / kSectorSize > 0xFFFF) return Fail("no such numbered file size");
  file.resize(bytes);
  for (std::size_t index = 1; index * kSectorSize < bytes; ++index) {
    char* sector = file.data() + index * kSectorSize;
    const std::size_t room = std::min<std::size_t>(kSectorSize, bytes - index * kSectorSize);
    const char head[6] = {'S', 'E', 'C', 'T', static_cast<char>(index & 0xFF), static_cast<char>(index >> 8)};
    std::memcpy(sector, head, std::min<std::size_t>(room, sizeof head));
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(file.data(), static_cast<std::streamsize>(file.size()));
  return out ? 0 : Fail("cannot write " + path);
}

}  // namespace
}  // namespace tessarin::test

int main(int argc, char** argv) {
  using namespace tessarin::test;
  if (argc < 3) return Fail("usage: boot_card_tool COMMAND IMAGE ...");
  const std::string command = argv[1];
  if (command == "numbered-file" && argc == 5) return NumberedFile(argv[2], argv[3], std::stoull(argv[4]));
  ImageCard card(argv[2]);
  if (!card.Ok()) return Fail(std::string("cannot open ") + argv[2]);
  const std::vector<std::string> rest(argv + 3, argv + argc);

  if (command == "restore" && rest.size() == 1) return Restore(card, rest[0]);
  if (command == "mbr" && rest.empty()) return MasterBootRecordOnly(card);
  if (command == "relocate" && rest.size() == 3)
    return Relocate(card, rest[0], std::stoll(rest[1]), std::stoll(rest[2]));
  if (command == "cut-chain" && rest.size() == 1) return CutChain(card, rest[0]);
  if (command == "harness" && !rest.empty()) return Harness(card, rest[0], {rest.begin() + 1, rest.end()});
  if (command == "mutate" && rest.size() == 1) return Mutate(card, rest[0]);
  if (command == "chs" && rest.size() == 2) {
    return Chs(card, static_cast<unsigned>(std::stoul(rest[0])), static_cast<unsigned>(std::stoul(rest[1])));
  }
  if (command == "cluster" && !rest.empty() && rest.size() <= 2 && rest[0].size() == 11) {
    if (rest.size() == 2 && rest[1] != "first-sector") return Fail("bad command line");
    return Cluster(card, rest[0], rest.size() == 2);
  }
  if (command == "root-sector" && rest.empty()) {
    Volume v;
    if (!ReadVolume(card, v)) return Fail("cannot read the volume");
    std::printf("%08X\n", static_cast<unsigned>(v.rootSector));
    return 0;
  }
  if (command == "first-data" && rest.empty()) {
    Volume v;
    if (!ReadVolume(card, v)) return Fail("cannot read the volume");
    // As the loader counts it: from the BPB's hidden sectors.
    const std::uint32_t firstData = Le32(v.boot + 28) + Le16(v.boot + 14) + v.boot[16] * Le32(v.boot + 36);
    std::printf("AX=%04X BX=%04X\n", firstData >> 16, firstData & 0xFFFF);
    return 0;
  }
  return Fail("bad command line");
}
