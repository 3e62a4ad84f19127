// The card's master boot record: our boot code over the first 440 bytes of
// the physical disk's sector 0, the first partition marked active.
#pragma once

#include <string>

#include "restore/restore_context.h"

namespace tessarin {

inline constexpr std::size_t kPartitionTableOffset = 446;
inline constexpr std::uint8_t kActivePartition = 0x80;

// 0 when sector 0 was written; -1 after the operator has been told why not
// and the animation has been stopped.
int InstallMasterBootRecord(RestoreContext& ctx, std::string driveEntry);

}  // namespace tessarin
