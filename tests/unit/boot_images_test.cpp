#include "bootcode/boot_images.h"

#include <gtest/gtest.h>

#include "card/resource_port.h"

namespace tessarin {
namespace {

TEST(EmbeddedBootImage, CarriesEachImageAtItsSize) {
  struct Case {
    unsigned id;
    std::size_t size;
  };
  for (const Case& c :
       {Case{IDR_MBR_CODE, kMbrCodeSize}, Case{IDR_FAT32_BOOT, kBootSectorSize}, Case{IDR_FAT16_BOOT, kBootSectorSize},
        Case{IDR_BLDR_LOADER, kBldrLoaderSize}, Case{IDR_DOS_STAGE2, kDosStage2Size}}) {
    SCOPED_TRACE(c.id);
    const auto image = EmbeddedBootImage(c.id);
    ASSERT_EQ(image.size(), c.size);
    if (c.id != IDR_MBR_CODE && c.id != IDR_DOS_STAGE2) {
      // Every sector a BIOS or a master boot record starts ends in the
      // boot signature.
      EXPECT_EQ(image[c.size - 2], 0x55);
      EXPECT_EQ(image[c.size - 1], 0xAA);
    }
  }
}

TEST(EmbeddedBootImage, UnknownIdsGiveNothing) {
  for (unsigned id : {0u, 2u, 162u, 168u, 0xFFFFFFFFu}) EXPECT_TRUE(EmbeddedBootImage(id).empty()) << id;
}

}  // namespace
}  // namespace tessarin
