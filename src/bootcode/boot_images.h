// The boot images the programs carry, assembled from src/bootcode/ by the
// build and compiled in: the master boot code, the two boot-sector
// templates and the BLDR loader.
#pragma once

#include <cstdint>
#include <span>

namespace tessarin {

// The bytes of the boot image with the given resource ID (IDR_MBR_CODE,
// IDR_FAT32_BOOT, IDR_FAT16_BOOT, IDR_BLDR_LOADER); empty for any other ID.
std::span<const std::uint8_t> EmbeddedBootImage(unsigned id);

}  // namespace tessarin
