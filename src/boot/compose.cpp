#include "boot/compose.h"

#include <algorithm>

namespace tessarin {

SectorBytes ComposeMasterBootRecord(ConstSector current, std::span<const std::uint8_t, kMbrCodeSize> code) {
  SectorBytes out;
  std::copy(current.begin(), current.end(), out.begin());
  std::copy(code.begin(), code.end(), out.begin() + kMbrCodeOffset);
  out[PartitionEntry(0) + kPartitionBootIndicator] = kActivePartition;
  return out;
}

bool IsUsableVolume(ConstSector cardSector) {
  return GetLe16(cardSector.data(), kBpbBytesPerSector) == kSectorSize && cardSector[kBpbMedia] == kFixedDiskMedia;
}

double ComputeCardCapacity(const std::uint8_t* bootSector) {
  const double bytesPerSector = GetLe16(bootSector, kBpbBytesPerSector);
  const std::uint16_t total16 = GetLe16(bootSector, kBpbTotalSectors16);
  const std::uint32_t total32 = GetLe32(bootSector, kBpbTotalSectors32);
  if (total16 == 0 && total32 != 0) return bytesPerSector * static_cast<double>(total32);
  if (total32 == 0 && total16 != 0) return bytesPerSector * static_cast<double>(total16);
  return 0;
}

SizeCheck CheckSizeWindow(SystemKind kind, double capacity) {
  const SystemKindRecord* facts = FindSystemKind(kind);
  if (facts == nullptr || !facts->sizeWindow) return SizeCheck::Within;
  const SizeWindow& window = *facts->sizeWindow;
  return capacity < window.min || capacity > window.max ? SizeCheck::Outside : SizeCheck::Within;
}

bool DecideGeometryRepair(ConstSector cardSector) {
  return cardSector[kBpbDriveNumber] == 0 || GetLe16(cardSector.data(), kBpbHeads) > kMaxHeads;
}

SectorBytes ComposeBootSector(ConstSector bootTemplate, ConstSector cardSector,
                              std::optional<std::span<const std::uint8_t, kBldrLoaderSize>> loader,
                              std::optional<DriveGeometry> repaired) {
  SectorBytes out;
  std::copy(bootTemplate.begin(), bootTemplate.end(), out.begin());
  std::copy(cardSector.begin() + kCardBpbFirst, cardSector.begin() + kCardBpbEnd, out.begin() + kCardBpbFirst);
  if (repaired) {
    PutLe16(out.data(), kBpbSectorsPerTrack, repaired->sectorsPerTrack);
    PutLe16(out.data(), kBpbHeads, repaired->heads);
  }
  if (loader) std::copy(loader->begin(), loader->end(), out.begin() + kLoaderOffset);
  return out;
}

}  // namespace tessarin

static_assert(tessarin::kMbrCodeOffset + tessarin::kMbrCodeSize == tessarin::kMbrDiskSignature,
              "the boot code ends where the disk signature starts");
static_assert(tessarin::kLoaderOffset + tessarin::kBldrLoaderSize == tessarin::kSectorSize,
              "the loader fills the boot sector to its end");
