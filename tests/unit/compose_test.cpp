// The computed parts of the boot records: bytes and values in, bytes and
// decisions out.
#include "boot/compose.h"

#include <gtest/gtest.h>

#include <numeric>

namespace tessarin::test {
namespace {

// A boot sector with the fields the decisions read.
struct Bpb {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t media = kFixedDiskMedia;
  std::uint16_t total16 = 0;
  std::uint32_t total32 = 1'000'000;
  std::uint16_t heads = 16;
  std::uint8_t driveNumber = 0x80;

  SectorBytes Sector() const {
    SectorBytes s{};
    PutLe16(s.data(), kBpbBytesPerSector, bytesPerSector);
    s[kBpbMedia] = media;
    PutLe16(s.data(), kBpbTotalSectors16, total16);
    PutLe32(s.data(), kBpbTotalSectors32, total32);
    PutLe16(s.data(), kBpbHeads, heads);
    s[kBpbDriveNumber] = driveNumber;
    return s;
  }
};

// Every byte tells its sector and offset apart.
SectorBytes Pattern(std::uint8_t seed) {
  SectorBytes s;
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(seed + i * 7);
  return s;
}

TEST(ComputeCardCapacity, UsesWhicheverSectorCountIsSet) {
  const struct {
    std::uint16_t total16;
    std::uint32_t total32;
    double capacity;
  } cases[] = {
      {0, 1'000'000, 512e6},
      {60'000, 0, 512.0 * 60'000},
      {0, 0, 0},
      {100, 100, 0},
      {0, 0xFFFFFFFFu, 512.0 * 4294967295.0},  // no overflow past 2^32 bytes
  };
  for (const auto& c : cases) {
    const SectorBytes s = Bpb{.total16 = c.total16, .total32 = c.total32}.Sector();
    EXPECT_DOUBLE_EQ(ComputeCardCapacity(s.data()), c.capacity) << c.total16 << " " << c.total32;
  }
}

TEST(CheckSizeWindow, OnlyWindowsCeHasOneAndBothBoundsPass) {
  const struct {
    SystemKind kind;
    double capacity;
    SizeCheck expected;
  } cases[] = {
      {SystemKind::WinCE, 59'999'744, SizeCheck::Outside},  // 117,187 sectors
      {SystemKind::WinCE, 6.0e7, SizeCheck::Within},        {SystemKind::WinCE, 4.2e9, SizeCheck::Within},
      {SystemKind::WinCE, 4.2e9 + 512, SizeCheck::Outside}, {SystemKind::WinCE, 8e9, SizeCheck::Outside},
      {SystemKind::WinCE, 0, SizeCheck::Outside},           {SystemKind::Dos, 8e9, SizeCheck::Within},
      {SystemKind::RomDos, 0, SizeCheck::Within},           {static_cast<SystemKind>(9), 8e9, SizeCheck::Within},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckSizeWindow(c.kind, c.capacity), c.expected) << static_cast<int>(c.kind) << " " << c.capacity;
  }
}

TEST(CheckVolume, UsableFormatAndGeometryRepair) {
  const struct {
    const char* name;
    Bpb bpb;
    bool usable;
    bool repair;
  } cases[] = {
      {"as FORMAT leaves a card", {}, true, false},
      {"4096 bytes per sector", {.bytesPerSector = 4096}, false, false},
      {"media 0xF0", {.media = 0xF0}, false, false},
      {"drive number 0", {.driveNumber = 0}, true, true},
      {"17 heads", {.heads = 17}, true, true},
      {"255 heads", {.heads = 255}, true, true},
      {"heads read unsigned", {.heads = 0x8000}, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SectorBytes s = c.bpb.Sector();
    EXPECT_EQ(IsUsableVolume(s), c.usable);
    EXPECT_EQ(DecideGeometryRepair(s), c.repair);
  }
}

TEST(ComposeMasterBootRecord, CodeOverTheFrontAndEntryOneActive) {
  std::array<std::uint8_t, kMbrCodeSize> code;
  std::iota(code.begin(), code.end(), std::uint8_t{1});
  const struct {
    const char* name;
    std::size_t activeBefore;  // entry marked 0x80 before; 4 for none
  } cases[] = {{"no entry active", 4}, {"entry 1 active", 0}, {"entry 2 active", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SectorBytes before = Pattern(3);
    for (std::size_t e = 0; e < kMbrPartitionCount; ++e) before[PartitionEntry(e)] = e == c.activeBefore ? 0x80 : 0;
    const SectorBytes after = ComposeMasterBootRecord(before, code);
    EXPECT_TRUE(std::equal(code.begin(), code.end(), after.begin()));
    EXPECT_EQ(after[PartitionEntry(0) + kPartitionBootIndicator], kActivePartition);
    for (std::size_t i = kMbrDiskSignature; i < kSectorSize; ++i) {
      // The other entries' boot indicators stay too.
      if (i != PartitionEntry(0)) {
        EXPECT_EQ(after[i], before[i]) << i;
      }
    }
  }
}

TEST(ComposeBootSector, TemplateCardBpbLoaderAndGeometry) {
  const SectorBytes tmpl = Pattern(11);
  const SectorBytes card = Pattern(101);
  std::array<std::uint8_t, kBldrLoaderSize> loader;
  std::iota(loader.begin(), loader.end(), std::uint8_t{200});
  const struct {
    const char* name;
    bool withLoader;
    std::optional<DriveGeometry> geometry;
  } cases[] = {
      {"template and card", false, std::nullopt},
      {"with the loader", true, std::nullopt},
      {"with a repaired geometry", false, DriveGeometry{32, 63}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::span<const std::uint8_t, kBldrLoaderSize>> l;
    if (c.withLoader) l = loader;
    const SectorBytes out = ComposeBootSector(tmpl, card, l, c.geometry);
    for (std::size_t i = 0; i < kSectorSize; ++i) {
      std::uint8_t want = tmpl[i];
      if (i >= kCardBpbFirst && i < kCardBpbEnd) want = card[i];
      if (c.withLoader && i >= kLoaderOffset) want = loader[i - kLoaderOffset];
      if (c.geometry &&
          (i == kBpbHeads || i == kBpbHeads + 1 || i == kBpbSectorsPerTrack || i == kBpbSectorsPerTrack + 1)) {
        continue;
      }
      EXPECT_EQ(out[i], want) << i;
    }
    if (c.geometry) {
      EXPECT_EQ(GetLe16(out.data(), kBpbHeads), 32);
      EXPECT_EQ(GetLe16(out.data(), kBpbSectorsPerTrack), 63);
    }
  }
}

}  // namespace
}  // namespace tessarin::test
