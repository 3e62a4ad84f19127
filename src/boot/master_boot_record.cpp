#include "boot/master_boot_record.h"

#include <algorithm>

namespace tessarin {

int InstallMasterBootRecord(RestoreContext& ctx, std::string driveEntry) {
  OperationLog& log = ctx.log;
  CardPort& card = ctx.ports.card;

  const ImageLoad code = ctx.ports.resources.LoadBootImage(IDR_MBR_CODE);
  if (!code || code.bytes.size() != kMbrCodeSize) {
    log.StopProgressAnimation();
    log.ShowSystemError(code || code.error == 0 ? kErrorInvalidData : code.error);
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

  // The disk signature, the partition table and the boot signature stay.
  std::copy(code.bytes.begin(), code.bytes.end(), sector.data());
  sector.data()[kPartitionTableOffset] = kActivePartition;

  if (!card.WriteMbrSector(driveEntry, sector)) {
    log.ShowMessageBoxString(IDS_CANNOT_OPEN_DRIVE, kMbOk | kMbIconExclamation);
    sector.Release();
    log.StopProgressAnimation();
    return -1;
  }
  return 0;
}

}  // namespace tessarin
