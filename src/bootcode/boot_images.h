// The boot images the programs carry, assembled from src/bootcode/ by the
// build and compiled in: the master boot code, the two boot-sector
// templates, the BLDR loader and the DOS second stage.
#pragma once

#include <cstdint>
#include <span>

namespace tessarin {

// The bytes of the boot image with the given resource ID (IDR_MBR_CODE,
// IDR_FAT32_BOOT, IDR_FAT16_BOOT, IDR_BLDR_LOADER, IDR_DOS_STAGE2); empty
// for any other ID.
std::span<const std::uint8_t> EmbeddedBootImage(unsigned id);

}  // namespace tessarin
