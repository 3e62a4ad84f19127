// Arbitrary card sectors: whatever sector 0 and the volume's boot sector
// hold, the boot-record steps either write a sector built from the template
// or refuse and leave the card as it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "boot/boot_sector.h"
#include "boot/master_boot_record.h"
#include "unit/fakes.h"

using namespace tessarin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 + 1024) return 0;
  test::World w;
  w.SetKind(static_cast<SystemKind>(1 + data[0] % 3));
  const bool withDefinitions = (data[1] & 1) != 0;
  std::copy_n(data + 2, 512, w.card.Mbr().begin());
  std::copy_n(data + 2 + 512, 512, w.card.VolumeBoot().begin());
  if (withDefinitions) {
    w.profile.SetFile("C:\\Tessarin\\CFDef.ini",
                      std::string(reinterpret_cast<const char*>(data + 1026), size - 1026));
  }
  const test::Sector mbrBefore = w.card.Mbr();
  const test::Sector vbrBefore = w.card.VolumeBoot();

  if (w.handleCard.SetVolumeLock("[-e-]", true) != 1) std::abort();
  const int mbr = InstallMasterBootRecord(w.ctx, "[-e-]");
  if (mbr != 0) std::abort();  // the sector is read and written whatever it holds
  const auto& code = w.resources.images[IDR_MBR_CODE];
  if (!std::equal(code.begin(), code.end(), w.card.Mbr().begin()) || w.card.Mbr()[446] != 0x80 ||
      !std::equal(mbrBefore.begin() + 447, mbrBefore.end(), w.card.Mbr().begin() + 447)) {
    std::abort();
  }

  const int boot = InstallBootSector(w.ctx, "[-e-]");
  const test::Sector& out = w.card.VolumeBoot();
  if (boot != 0) {
    if (out != vbrBefore || w.ui.boxes.size() != 1) std::abort();
  } else {
    const unsigned templ = g_nSystemKind == 1 ? IDR_FAT16_BOOT : IDR_FAT32_BOOT;
    const auto& t = w.resources.images[templ];
    if (!std::equal(t.begin(), t.begin() + 11, out.begin())) std::abort();
    if (!std::equal(vbrBefore.begin() + 28, vbrBefore.begin() + 62, out.begin() + 28)) std::abort();
    if (vbrBefore[11] != 0x00 || vbrBefore[12] != 0x02 || vbrBefore[21] != 0xF8) std::abort();
  }
  w.handleCard.SetVolumeLock("[-e-]", false);
  if (w.device.liveBuffers != 0 || w.device.openHandles != 0) std::abort();
  return 0;
}
