#include "boot/master_boot_record.h"

#include <algorithm>

#include "boot/compose.h"

namespace tessarin {

int InstallMasterBootRecord(CardPort& card, ResourcePort& resources, OperationLog& log, std::string driveEntry) {
  const ImageLoad code = resources.LoadBootImage(IDR_MBR_CODE);
  if (!code || code.bytes.size() != kMbrCodeSize) {
    log.StopProgressAnimation();
    log.ShowSystemError(code || !code.error ? Failure::Own(FailureKind::InvalidData) : code.error);
    return -1;
  }

  SectorBuffer sector = card.AllocateSector();
  if (!sector) {
    log.ShowMessageBoxString(IDS_MEMORY_ERROR, kMbOk | kMbIconExclamation);
    log.StopProgressAnimation();
    return -1;
  }

  if (card.IsVolumeHandleInvalid() || !card.ReadMbrSector(driveEntry, sector)) {
    log.ShowMessageBoxString(IDS_CANNOT_OPEN_DRIVE, kMbOk | kMbIconExclamation);
    sector.Release();
    log.StopProgressAnimation();
    return -1;
  }

  const SectorBytes composed =
      ComposeMasterBootRecord(ConstSector(sector.data(), kSectorSize), code.bytes.first<kMbrCodeSize>());
  std::copy(composed.begin(), composed.end(), sector.data());

  // The sector counts as written only when the card gives it back as
  // composed: readers that drop or garble a write without an error exist,
  // and a card that does not boot must not pass for a restored one.
  if (!card.WriteMbrSector(driveEntry, sector) || !card.ReadBackMbrSector(driveEntry, sector) ||
      !std::equal(composed.begin(), composed.end(), sector.data())) {
    log.ShowMessageBoxString(IDS_CANNOT_OPEN_DRIVE, kMbOk | kMbIconExclamation);
    sector.Release();
    log.StopProgressAnimation();
    return -1;
  }
  return 0;
}

}  // namespace tessarin
