// What the boot-record steps compute, as functions from bytes and values to
// bytes and decisions. The steps around them read and write the card and
// tell the operator; these only decide.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "card/card_port.h"
#include "card/resource_port.h"
#include "card/sector_layout.h"
#include "card/system_kinds.h"

namespace tessarin {

using SectorBytes = std::array<std::uint8_t, kSectorSize>;
using ConstSector = std::span<const std::uint8_t, kSectorSize>;

// More heads than this, or a drive number of 0, calls for a geometry repair.
inline constexpr unsigned kMaxHeads = 16;

// The drive geometry written into a repaired boot sector.
struct DriveGeometry {
  std::uint16_t heads = 0;
  std::uint16_t sectorsPerTrack = 0;
};

// Sector 0 with our boot code: the code over bytes 0-439, the first
// partition entry marked active; the disk signature, the rest of the
// partition table and the boot signature as they were.
SectorBytes ComposeMasterBootRecord(ConstSector current, std::span<const std::uint8_t, kMbrCodeSize> code);

// True when the card's boot sector describes a volume the boot sector can
// be built on: 512 bytes per sector and the fixed-disk media descriptor.
bool IsUsableVolume(ConstSector cardSector);

// The card's size in bytes from its boot sector; 0 when the two sector
// counts are both 0 or both set. Never overflows: a card of 2^32 bytes or
// more yields its true size.
double ComputeCardCapacity(const std::uint8_t* bootSector);

enum class SizeCheck { Within, Outside };

// Whether a card of this capacity fits the kind's size window; kinds
// without a window take any size.
SizeCheck CheckSizeWindow(SystemKind kind, double capacity);

// True when the geometry FORMAT wrote cannot be used: a drive number of 0,
// or more than 16 heads.
bool DecideGeometryRepair(ConstSector cardSector);

// The new volume boot sector: the template, bytes 11-61 from the card's
// sector (with the repaired geometry, when there is one), and the loader
// over bytes 90-511 when there is one.
SectorBytes ComposeBootSector(ConstSector bootTemplate, ConstSector cardSector,
                              std::optional<std::span<const std::uint8_t, kBldrLoaderSize>> loader,
                              std::optional<DriveGeometry> repaired);

}  // namespace tessarin
