#include "bootcode/boot_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "card/resource_port.h"
#include "card/system_kinds.h"

namespace tessarin {
namespace {

// Every boot image of the resource list is compiled in, at its size.
TEST(EmbeddedBootImage, CarriesEachListedImageAtItsSize) {
  const std::map<unsigned, std::size_t> sizeOf = {{IDR_MBR_CODE, kMbrCodeSize},
                                                  {IDR_FAT32_BOOT, kBootSectorSize},
                                                  {IDR_FAT16_BOOT, kBootSectorSize},
                                                  {IDR_BLDR_LOADER, kBldrLoaderSize},
                                                  {IDR_DOS_STAGE2, kDosStage2Size}};
  for (const ResourceFile& listed : kBootImageResources) {
    SCOPED_TRACE(listed.name);
    const auto size = sizeOf.find(listed.id);
    ASSERT_NE(size, sizeOf.end()) << "the size this image must have";
    const auto image = EmbeddedBootImage(listed.id);
    ASSERT_EQ(image.size(), size->second);
    if (listed.id != IDR_MBR_CODE && listed.id != IDR_DOS_STAGE2) {
      // Every sector a BIOS or a master boot record starts ends in the
      // boot signature.
      EXPECT_EQ(image[image.size() - 2], 0x55);
      EXPECT_EQ(image[image.size() - 1], 0xAA);
    }
  }
}

TEST(EmbeddedBootImage, SearchesForTheFileItsKindIsCheckedFor) {
  // The check after installation looks for the name the code compares.
  for (const SystemKindRecord& kind : SystemKinds()) {
    SCOPED_TRACE(kind.name);
    if (kind.bootFile.search == BootFileSearch::None) continue;
    const auto image = EmbeddedBootImage(kind.loader != 0 ? kind.loader : kind.bootTemplate);
    const char* name = kind.bootFile.name;
    ASSERT_EQ(std::strlen(name), 11u);
    EXPECT_NE(std::search(image.begin(), image.end(), name, name + 11), image.end()) << name;
  }
}

TEST(EmbeddedBootImage, UnknownIdsGiveNothing) {
  for (unsigned id : {0u, 2u, 162u, 168u, 0xFFFFFFFFu}) EXPECT_TRUE(EmbeddedBootImage(id).empty()) << id;
}

}  // namespace
}  // namespace tessarin
