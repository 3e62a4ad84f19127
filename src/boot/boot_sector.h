// The card's volume boot sector: the template of the system kind with the
// card's own BPB (geometry repaired where needed) and, for Windows CE, the
// BLDR loader.
#pragma once

#include <cstdint>
#include <string>

#include "restore/restore_context.h"

namespace tessarin {

// The size window of Windows CE cards, in bytes; both bounds pass.
inline constexpr double kMinCardCapacity = 6.0e7;
inline constexpr double kMaxCardCapacity = 4.2e9;
// More heads than this, or a drive number of 0, calls for a geometry repair.
inline constexpr unsigned kMaxHeads = 16;

// Offsets in the boot sector.
inline constexpr std::size_t kBpbBytesPerSector = 11;
inline constexpr std::size_t kBpbTotalSectors16 = 19;
inline constexpr std::size_t kBpbMedia = 21;
inline constexpr std::size_t kBpbSectorsPerTrack = 24;
inline constexpr std::size_t kBpbHeads = 26;
inline constexpr std::size_t kBpbTotalSectors32 = 32;
inline constexpr std::size_t kBpbDriveNumber = 64;
inline constexpr std::size_t kCardBpbFirst = 11;  // bytes 11-61 come from the card
inline constexpr std::size_t kCardBpbLast = 61;
inline constexpr std::size_t kLoaderOffset = 90;   // IDR_BLDR_LOADER fills 90-511
inline constexpr std::uint8_t kFixedDiskMedia = 0xF8;

// The card's size in bytes from its boot sector; 0 when the two sector
// counts are both 0 or both set.
double ComputeCardCapacity(const std::uint8_t* bootSector);

// 0 when the new boot sector was written; -1 after the operator was told
// why not.
int InstallBootSector(RestoreContext& ctx, std::string driveEntry);

}  // namespace tessarin
