// Arbitrary card sectors: whatever sector 0 and the volume's boot sector
// hold, the boot-record steps either write a sector built from the template
// or refuse and leave the card as it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "boot/boot_sector.h"
#include "boot/compose.h"
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
    w.profile.SetFile(test::kDefinitionsPath, std::string(reinterpret_cast<const char*>(data + 1026), size - 1026));
  }
  const test::Sector mbrBefore = w.card.Mbr();
  const test::Sector vbrBefore = w.card.VolumeBoot();

  if (w.handleCard.SetVolumeLock("[-e-]", true) != 1) std::abort();
  const int mbr = InstallMasterBootRecord(w.handleCard, w.resources, w.ctx.log, "[-e-]");
  if (mbr != 0) std::abort();  // the sector is read and written whatever it holds
  const auto& code = w.resources.images[IDR_MBR_CODE];
  if (w.card.Mbr() !=
      ComposeMasterBootRecord(mbrBefore, std::span<const std::uint8_t, kMbrCodeSize>(code.data(), kMbrCodeSize))) {
    std::abort();
  }

  const int boot = InstallBootSector(w.handleCard, w.resources, w.ctx.CardDefinitions(), w.ctx.log,
                                     w.ctx.GetSystemKind(), g_nSystemKind, "[-e-]");
  const test::Sector& out = w.card.VolumeBoot();
  if (boot != 0) {
    if (out != vbrBefore || w.ui.boxes.size() != 1) std::abort();
  } else {
    if (!IsUsableVolume(vbrBefore) ||
        CheckSizeWindow(w.ctx.GetSystemKind(), ComputeCardCapacity(vbrBefore.data())) != SizeCheck::Within) {
      std::abort();
    }
    const SystemKindRecord& facts = SystemKindFacts(g_nSystemKind);
    const auto& t = w.resources.images[facts.bootTemplate];
    std::optional<std::span<const std::uint8_t, kBldrLoaderSize>> loader;
    if (facts.loader != 0) loader.emplace(w.resources.images[facts.loader].data(), kBldrLoaderSize);
    std::optional<DriveGeometry> geometry;
    if (DecideGeometryRepair(vbrBefore)) {
      // Whatever the definitions said, only the geometry may differ.
      geometry = DriveGeometry{GetLe16(out.data(), kBpbHeads), GetLe16(out.data(), kBpbSectorsPerTrack)};
    }
    if (out != ComposeBootSector(ConstSector(t.data(), kSectorSize), vbrBefore, loader, geometry)) std::abort();
  }
  w.handleCard.SetVolumeLock("[-e-]", false);
  if (w.device.liveBuffers != 0 || w.device.openHandles != 0) std::abort();
  return 0;
}
