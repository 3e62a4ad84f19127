#include "boot/boot_sector.h"

#include <algorithm>

#include "boot/card_definitions.h"

namespace tessarin {
namespace {

std::uint16_t Get16(const std::uint8_t* p, std::size_t at) {
  return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}

std::uint32_t Get32(const std::uint8_t* p, std::size_t at) {
  return static_cast<std::uint32_t>(p[at]) | (static_cast<std::uint32_t>(p[at + 1]) << 8) |
         (static_cast<std::uint32_t>(p[at + 2]) << 16) | (static_cast<std::uint32_t>(p[at + 3]) << 24);
}

void Put16(std::uint8_t* p, std::size_t at, std::uint16_t v) {
  p[at] = static_cast<std::uint8_t>(v & 0xFF);
  p[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// A loaded image of the wrong size counts as one that could not be loaded:
// the copies below have fixed lengths.
bool LoadImage(ResourcePort& res, unsigned id, std::size_t size, ImageLoad& image, std::uint32_t& error) {
  image = res.LoadBootImage(id);
  if (!image) {
    error = image.error != 0 ? image.error : kErrorInvalidData;
    return false;
  }
  if (image.bytes.size() != size) {
    error = kErrorInvalidData;
    return false;
  }
  return true;
}

}  // namespace

double ComputeCardCapacity(const std::uint8_t* bootSector) {
  const double bytesPerSector = Get16(bootSector, kBpbBytesPerSector);
  const std::uint16_t total16 = Get16(bootSector, kBpbTotalSectors16);
  const std::uint32_t total32 = Get32(bootSector, kBpbTotalSectors32);
  if (total16 == 0 && total32 != 0) return bytesPerSector * static_cast<double>(total32);
  if (total32 == 0 && total16 != 0) return bytesPerSector * static_cast<double>(total16);
  return 0;
}

int InstallBootSector(RestoreContext& ctx, std::string driveEntry) {
  OperationLog& log = ctx.log;
  CardPort& card = ctx.ports.card;
  constexpr unsigned kBox = kMbOk | kMbIconExclamation;

  SectorBuffer cardSector = card.AllocateSector();
  if (!cardSector) {
    log.ShowMessageBoxString(IDS_MEMORY_ERROR, kBox);
    return -1;
  }
  SectorBuffer newSector = card.AllocateSector();
  if (!newSector) {
    log.ShowMessageBoxString(IDS_MEMORY_ERROR, kBox);
    return -1;
  }

  if (card.IsVolumeHandleInvalid() || !card.ReadVolumeBootSector(driveEntry, cardSector)) {
    log.ShowMessageBoxString(IDS_CANNOT_OPEN_DRIVE, kBox);
    return -1;
  }

  std::uint8_t* bpb = cardSector.data();
  if (Get16(bpb, kBpbBytesPerSector) != kSectorSize || bpb[kBpbMedia] != kFixedDiskMedia) {
    log.ShowMessageBoxString(IDS_INVALID_FORMAT, kBox);
    return -1;
  }

  const double capacity = ComputeCardCapacity(bpb);
  if (ctx.GetSystemKind() == static_cast<int>(SystemKind::WinCE) &&
      (capacity > kMaxCardCapacity || capacity < kMinCardCapacity)) {
    log.ShowMessageBoxString(IDS_SIZE_WINDOW, kMbOk);
    return -1;
  }

  if (bpb[kBpbDriveNumber] == 0 || Get16(bpb, kBpbHeads) > kMaxHeads) {
    if (capacity == 0) {
      cardSector.Release();
      newSector.Release();
      log.ShowMessageBoxString(IDS_NONCONFORMING_CARD, kMbOk);
      return -1;
    }
    CList<CF_DEFINITION> definitions;
    const int loaded = LoadCardDefinitions(ctx.ports, definitions);
    if (loaded != -1) {
      cardSector.Release();
      newSector.Release();
      log.ShowMessageBoxString(static_cast<unsigned>(loaded), kMbOk);
      return -1;
    }
    const std::optional<CF_DEFINITION> def = FindCardDefinition(definitions, capacity);
    if (!def) {
      cardSector.Release();
      newSector.Release();
      log.ShowMessageBoxString(IDS_SIZE_WINDOW, kMbOk);
      return -1;
    }
    Put16(bpb, kBpbSectorsPerTrack, static_cast<std::uint16_t>(def->nSectorsPerTrack & 0xFFFF));
    Put16(bpb, kBpbHeads, static_cast<std::uint16_t>(def->nHeads & 0xFFFF));
  }

  const bool romDos = g_nSystemKind == static_cast<int>(SystemKind::RomDos);
  ImageLoad image;
  std::uint32_t error = 0;
  if (!LoadImage(ctx.ports.resources, romDos ? IDR_FAT16_BOOT : IDR_FAT32_BOOT, kBootSectorSize, image, error)) {
    log.ShowSystemError(error);
    return -1;
  }
  std::uint8_t* out = newSector.data();
  std::copy(image.bytes.begin(), image.bytes.end(), out);
  std::copy(bpb + kCardBpbFirst, bpb + kCardBpbLast + 1, out + kCardBpbFirst);

  if (g_nSystemKind == static_cast<int>(SystemKind::WinCE)) {
    if (!LoadImage(ctx.ports.resources, IDR_BLDR_LOADER, kBldrLoaderSize, image, error)) {
      log.ShowSystemError(error);
      return -1;
    }
    std::copy(image.bytes.begin(), image.bytes.end(), out + kLoaderOffset);
  }

  if (!card.WriteVolumeBootSector(driveEntry, newSector)) {
    // A failure must never pass without a box, even when the system left
    // no code behind.
    const std::uint32_t code = card.LastError();
    log.ShowSystemError(code != 0 ? code : kErrorWriteFault);
    return -1;
  }
  return 0;
}

}  // namespace tessarin
