#include "install/boot_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "card/card_port.h"
#include "card/sector_layout.h"

namespace tessarin {
namespace {

using Sector = std::array<std::uint8_t, kSectorSize>;

enum class FatWidth { Fat12, Fat16, Fat32 };

// The volume as its boot sector describes it, in sectors from its start.
struct Layout {
  FatWidth width = FatWidth::Fat32;
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t fatStart = 0;
  std::uint64_t rootStart = 0;     // the root folder's first sector
  std::uint64_t rootSectors = 0;   // FAT12/16: the fixed root folder's length
  std::uint64_t rootSearched = 0;  // FAT12/16: the sectors of it the code reads
  std::uint64_t firstData = 0;     // cluster 2
  std::uint64_t clusterCount = 0;  // clusters 2 .. clusterCount + 1 exist

  std::uint64_t ClusterStart(std::uint64_t cluster) const { return firstData + (cluster - 2) * sectorsPerCluster; }
  bool IsCluster(std::uint64_t cluster) const { return cluster >= 2 && cluster < clusterCount + 2; }
};

std::optional<Layout> ReadLayout(const std::uint8_t* boot) {
  const std::uint16_t bytesPerSector = GetLe16(boot, kBpbBytesPerSector);
  const std::uint32_t sectorsPerCluster = boot[kBpbSectorsPerCluster];
  const std::uint16_t reserved = GetLe16(boot, kBpbReservedSectors);
  const std::uint32_t fats = boot[kBpbFatCount];
  const std::uint16_t rootEntries = GetLe16(boot, kBpbRootEntries);
  const std::uint16_t fatSize16 = GetLe16(boot, kBpbFatSize16);
  const std::uint16_t total16 = GetLe16(boot, kBpbTotalSectors16);
  const std::uint64_t total = total16 != 0 ? total16 : GetLe32(boot, kBpbTotalSectors32);
  if (bytesPerSector != kSectorSize || sectorsPerCluster == 0 || reserved == 0 || fats == 0) return std::nullopt;

  Layout v;
  v.sectorsPerCluster = sectorsPerCluster;
  v.fatStart = reserved;
  // Both boot sectors tell FAT32 by a 16-bit FAT size of 0.
  const bool fat32 = fatSize16 == 0;
  const std::uint64_t fatSize = fat32 ? GetLe32(boot, kBpbFatSize32) : fatSize16;
  if (fatSize == 0) return std::nullopt;
  if (fat32) {
    v.firstData = reserved + fats * fatSize;
    const std::uint32_t rootCluster = GetLe32(boot, kBpbRootCluster);
    if (rootCluster < 2) return std::nullopt;
    v.rootStart = v.firstData + std::uint64_t{rootCluster - 2} * sectorsPerCluster;
  } else {
    v.rootStart = reserved + fats * fatSize;
    v.rootSectors = (std::uint64_t{rootEntries} * kDirEntrySize + kSectorSize - 1) / kSectorSize;
    v.rootSearched = rootEntries / kDirEntriesPerSector;
    v.firstData = v.rootStart + v.rootSectors;
  }
  if (total <= v.firstData) return std::nullopt;
  v.clusterCount = (total - v.firstData) / sectorsPerCluster;
  v.width = fat32 ? FatWidth::Fat32 : (v.clusterCount < 4085 ? FatWidth::Fat12 : FatWidth::Fat16);
  if (fat32 && v.rootStart >= total) return std::nullopt;
  return v;
}

// Reads FAT entries, one sector of the first FAT at a time.
class FatReader {
 public:
  FatReader(const Layout& volume, const VolumeSectorReader& read) : volume_(volume), read_(read) {}

  std::optional<std::uint32_t> Next(std::uint32_t cluster) {
    switch (volume_.width) {
      case FatWidth::Fat32: {
        const auto v = Bytes(std::uint64_t{cluster} * 4, 4);
        if (!v) return std::nullopt;
        return *v & 0x0FFFFFFF;
      }
      case FatWidth::Fat16:
        return Bytes(std::uint64_t{cluster} * 2, 2);
      case FatWidth::Fat12: {
        const auto v = Bytes(std::uint64_t{cluster} + cluster / 2, 2);
        if (!v) return std::nullopt;
        return (cluster & 1) != 0 ? *v >> 4 : *v & 0x0FFF;
      }
    }
    return std::nullopt;
  }

 private:
  // A little-endian value of width bytes at a byte offset into the FAT; a
  // FAT12 entry may span two sectors.
  std::optional<std::uint32_t> Bytes(std::uint64_t offset, unsigned width) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
      const std::uint64_t at = offset + i;
      const std::uint64_t sector = volume_.fatStart + at / kSectorSize;
      if (sector != loaded_) {
        if (!read_(sector, bytes_.data())) return std::nullopt;
        loaded_ = sector;
      }
      value |= std::uint32_t{bytes_[at % kSectorSize]} << (8 * i);
    }
    return value;
  }

  const Layout& volume_;
  const VolumeSectorReader& read_;
  Sector bytes_{};
  std::uint64_t loaded_ = ~std::uint64_t{0};
};

BootFileFinding Follow(const BootFileRule& rule, const Layout& volume, const std::uint8_t* entry,
                       const VolumeSectorReader& read) {
  // The code takes the first entry of the name, whatever it is; a folder or
  // a label under that name is no file to start.
  if ((entry[kDirEntryAttributes] & (kDirFolder | kDirVolumeLabel)) != 0) return BootFileFinding::NotSearched;
  const std::uint32_t size = GetLe32(entry, kDirEntryFileSize);
  // Both codes take the high word of the first cluster, FAT12/16 keep 0 there.
  const std::uint32_t first =
      (std::uint32_t{GetLe16(entry, kDirEntryClusterHigh)} << 16) | GetLe16(entry, kDirEntryClusterLow);
  if (size == 0 || first < 2) return BootFileFinding::NotSearched;
  if (!volume.IsCluster(first)) return BootFileFinding::Unreadable;

  // Of the sectors read in a row, those that belong to the file must be its
  // own; what is read beyond its end is never used.
  const std::uint64_t fileSectors = (std::uint64_t{size} + kSectorSize - 1) / kSectorSize;
  const std::uint64_t inARow = std::min<std::uint64_t>(std::max(rule.sectorsInARow, 1u), fileSectors);
  const std::uint64_t clusters = (inARow + volume.sectorsPerCluster - 1) / volume.sectorsPerCluster;
  FatReader fat(volume, read);
  std::uint32_t cluster = first;
  for (std::uint64_t i = 1; i < clusters; ++i) {
    const std::optional<std::uint32_t> next = fat.Next(cluster);
    if (!next) return BootFileFinding::Unreadable;
    if (*next != cluster + 1 || !volume.IsCluster(*next)) return BootFileFinding::Scattered;
    cluster = *next;
  }
  return BootFileFinding::Reachable;
}

}  // namespace

BootFileFinding FindBootFile(const BootFileRule& rule, const VolumeSectorReader& read) {
  if (rule.search == BootFileSearch::None || rule.name == nullptr) return BootFileFinding::Reachable;

  Sector sector{};
  if (!read(0, sector.data())) return BootFileFinding::Unreadable;
  const std::optional<Layout> volume = ReadLayout(sector.data());
  if (!volume) return BootFileFinding::Unreadable;

  std::uint64_t searched = 0;
  if (volume->width == FatWidth::Fat32) {
    searched = rule.search == BootFileSearch::FirstRootSector ? 1 : volume->sectorsPerCluster;
  } else if (rule.search == BootFileSearch::FirstRootCluster) {
    searched = volume->rootSearched;
  } else {
    // The loader reads the volume in the FAT32 layout only.
    return BootFileFinding::NotSearched;
  }

  for (std::uint64_t s = 0; s < searched; ++s) {
    if (!read(volume->rootStart + s, sector.data())) return BootFileFinding::Unreadable;
    // Like the boot code, every entry is compared: there is no end mark
    // that stops it.
    for (std::size_t e = 0; e < kDirEntriesPerSector; ++e) {
      const std::uint8_t* entry = sector.data() + e * kDirEntrySize;
      if (std::memcmp(entry + kDirEntryName, rule.name, 11) == 0) return Follow(rule, *volume, entry, read);
    }
  }
  return BootFileFinding::NotSearched;
}

}  // namespace tessarin
