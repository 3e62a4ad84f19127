#include "install/boot_file.h"

#include <gtest/gtest.h>

#include <numeric>

#include "fakes.h"

namespace tessarin::test {
namespace {

// The card of the fakes: 8 sectors per cluster, the root folder in
// cluster 2; 68 sectors in a row are 9 clusters.
std::vector<RootEntry> Files(int count) {
  std::vector<RootEntry> files;
  for (int i = 0; i < count; ++i) files.push_back({"FILE" + std::to_string(i) + ".DAT", 1000, 0x20, {}});
  return files;
}

std::vector<std::uint32_t> ClustersInARow(std::uint32_t first, std::uint32_t count) {
  std::vector<std::uint32_t> chain(count);
  std::iota(chain.begin(), chain.end(), first);
  return chain;
}

std::vector<RootEntry> With(std::vector<RootEntry> before, const RootEntry& file, std::vector<RootEntry> after = {}) {
  before.push_back(file);
  before.insert(before.end(), after.begin(), after.end());
  return before;
}

BootFileFinding Find(SystemKind kind, const std::vector<RootEntry>& root,
                     const std::set<std::uint64_t>& unreadable = {}) {
  CardImage card;
  WriteMbr(card, 1'002'048);
  WriteFat32BootSector(card, BpbShape{});
  WriteRootFolder(card, root);
  return FindBootFile(SystemKindFacts(kind).bootFile, [&](std::uint64_t n, std::uint8_t* bytes) {
    if (unreadable.count(n) != 0) return false;
    const Sector s = card.Get(card.partitionStart + n);
    std::copy(s.begin(), s.end(), bytes);
    return true;
  });
}

TEST(FindBootFile, WhatTheBootCodeOfEachKindMeets) {
  const RootEntry bldr{"BLDR", 40'000, 0x27, {}};  // 79 sectors: the loader reads 68 of them
  const RootEntry ibmbio{"IBMBIO.COM", 20'000, 0x27, {}};
  // Clusters 1000 on are free in every layout below.
  struct Case {
    const char* name;
    SystemKind kind;
    std::vector<RootEntry> root;
    BootFileFinding finding;
  } cases[] = {
      {"BLDR first", SystemKind::WinCE, With({}, bldr, Files(30)), BootFileFinding::Reachable},
      {"BLDR the 16th entry of the first sector", SystemKind::WinCE, With(Files(15), bldr), BootFileFinding::Reachable},
      {"BLDR the 17th entry: in the second sector", SystemKind::WinCE, With(Files(16), bldr),
       BootFileFinding::NotSearched},
      {"20 files before BLDR", SystemKind::WinCE, With(Files(20), bldr), BootFileFinding::NotSearched},
      {"no BLDR", SystemKind::WinCE, Files(5), BootFileFinding::NotSearched},
      {"BLDR a folder", SystemKind::WinCE, With({}, {"BLDR", 0, 0x10, {1000}}), BootFileFinding::NotSearched},
      {"BLDR empty", SystemKind::WinCE, With({}, {"BLDR", 0, 0x20, {1000}}), BootFileFinding::NotSearched},
      {"BLDR broken within the sectors read in a row", SystemKind::WinCE,
       With({}, {"BLDR", 40'000, 0x27, {1000, 1001, 1002, 1003, 1010, 1011, 1012, 1013, 1014, 1015}}),
       BootFileFinding::Scattered},
      {"BLDR's ninth cluster elsewhere", SystemKind::WinCE,
       With({}, {"BLDR", 40'000, 0x27, {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1100, 1101}}),
       BootFileFinding::Scattered},
      {"BLDR broken only after the sectors read in a row", SystemKind::WinCE,
       With({}, {"BLDR", 40'000, 0x27, {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1200}}),
       BootFileFinding::Reachable},
      {"a small BLDR in one cluster", SystemKind::WinCE, With({}, {"BLDR", 3'000, 0x27, {1000}}),
       BootFileFinding::Reachable},
      {"BLDR above cluster 65,535", SystemKind::WinCE, With({}, {"BLDR", 40'000, 0x27, ClustersInARow(70'000, 10)}),
       BootFileFinding::Reachable},
      {"BLDR beyond the volume", SystemKind::WinCE, With({}, {"BLDR", 40'000, 0x27, {130'000}}),
       BootFileFinding::Unreadable},
      {"IBMBIO.COM in the root cluster's last entry", SystemKind::RomDos, With(Files(127), ibmbio),
       BootFileFinding::Reachable},
      {"IBMBIO.COM scattered: only its first sector is read", SystemKind::RomDos,
       With({}, {"IBMBIO.COM", 20'000, 0x27, {1000, 1500, 1700}}), BootFileFinding::Reachable},
      {"no IBMBIO.COM", SystemKind::RomDos, Files(3), BootFileFinding::NotSearched},
      {"DOS starts sector 12, whatever the root holds", SystemKind::Dos, {}, BootFileFinding::Reachable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Find(c.kind, c.root), c.finding);
  }
}

TEST(FindBootFile, AVolumeThatCannotBeReadIsNoAnswer) {
  const std::vector<RootEntry> root = With({}, {"BLDR", 40'000, 0x27, {}});
  // The boot sector, the root folder's first sector, the FAT's first sector.
  for (std::uint64_t sector : {0u, 2032u, 32u}) {
    SCOPED_TRACE(sector);
    EXPECT_EQ(Find(SystemKind::WinCE, root, {sector}), BootFileFinding::Unreadable);
  }

  CardImage card;
  WriteMbr(card, 1'002'048);
  BpbShape notFat;
  notFat.bytesPerSector = 4096;
  WriteFat32BootSector(card, notFat);
  EXPECT_EQ(FindBootFile(SystemKindFacts(SystemKind::WinCE).bootFile,
                         [&](std::uint64_t n, std::uint8_t* bytes) {
                           const Sector s = card.Get(card.partitionStart + n);
                           std::copy(s.begin(), s.end(), bytes);
                           return true;
                         }),
            BootFileFinding::Unreadable);
}

// A FAT16 volume keeps its root folder apart, before cluster 2: the ROM-DOS
// code searches all of it; the BLDR loader reads FAT32 volumes only.
TEST(FindBootFile, Fat16KeepsItsRootFolderApart) {
  constexpr std::uint64_t kRootStart = 4 + 2 * 200;  // reserved, two FATs
  constexpr std::uint64_t kRootSectors = 512 / 16;
  CardImage card;
  Sector& boot = card.VolumeBoot();
  PutLe16(boot.data(), kBpbBytesPerSector, 512);
  boot[kBpbSectorsPerCluster] = 4;
  PutLe16(boot.data(), kBpbReservedSectors, 4);
  boot[kBpbFatCount] = 2;
  PutLe16(boot.data(), kBpbRootEntries, 512);
  boot[kBpbMedia] = kFixedDiskMedia;
  PutLe16(boot.data(), kBpbFatSize16, 200);
  PutLe32(boot.data(), kBpbTotalSectors32, 200'000);
  auto find = [&](SystemKind kind) {
    return FindBootFile(SystemKindFacts(kind).bootFile, [&](std::uint64_t n, std::uint8_t* bytes) {
      const Sector sector = card.Get(card.partitionStart + n);
      std::copy(sector.begin(), sector.end(), bytes);
      return true;
    });
  };
  auto putEntry = [&](std::uint64_t rootSector, std::size_t slot, const char* name) {
    std::uint8_t* e = card.At(card.partitionStart + kRootStart + rootSector).data() + slot * kDirEntrySize;
    std::copy(name, name + 11, e + kDirEntryName);
    e[kDirEntryAttributes] = 0x27;
    PutLe16(e, kDirEntryClusterLow, 2);
    PutLe32(e, kDirEntryFileSize, 20'000);
  };

  EXPECT_EQ(find(SystemKind::RomDos), BootFileFinding::NotSearched);
  putEntry(kRootSectors - 1, kDirEntriesPerSector - 1, "IBMBIO  COM");  // the root folder's last entry
  putEntry(0, 0, "BLDR       ");
  EXPECT_EQ(find(SystemKind::RomDos), BootFileFinding::Reachable);
  EXPECT_EQ(find(SystemKind::WinCE), BootFileFinding::NotSearched);
}

}  // namespace
}  // namespace tessarin::test
