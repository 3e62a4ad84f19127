#include "boot/boot_sector.h"

#include <algorithm>

#include "boot/compose.h"

namespace tessarin {
namespace {

// A loaded image of the wrong size counts as one that could not be loaded:
// the compose functions take fixed lengths.
bool LoadImage(ResourcePort& res, unsigned id, std::size_t size, ImageLoad& image, Failure& error) {
  image = res.LoadBootImage(id);
  if (!image) {
    error = image.error ? image.error : Failure::Own(FailureKind::InvalidData);
    return false;
  }
  if (image.bytes.size() != size) {
    error = Failure::Own(FailureKind::InvalidData);
    return false;
  }
  return true;
}

}  // namespace

int InstallBootSector(CardPort& card, ResourcePort& resources, const CardDefinitionSource& definitionSource,
                      OperationLog& log, SystemKind sizeWindowKind, SystemKind imageKind, std::string driveEntry) {
  constexpr unsigned kBox = kMbOk | kMbIconExclamation;

  SectorBuffer cardSector = card.AllocateSector();
  if (!cardSector) {
    log.ShowMessageBoxString(IDS_MEMORY_ERROR, kBox);
    return -1;
  }
  SectorBuffer newSector = card.AllocateSector();
  if (!newSector) {
    log.ShowMessageBoxString(IDS_MEMORY_ERROR, kBox);
    return -1;
  }

  if (card.IsVolumeHandleInvalid() || !card.ReadVolumeBootSector(driveEntry, cardSector)) {
    log.ShowMessageBoxString(IDS_CANNOT_OPEN_DRIVE, kBox);
    return -1;
  }

  const ConstSector bpb(cardSector.data(), kSectorSize);
  if (!IsUsableVolume(bpb)) {
    log.ShowMessageBoxString(IDS_INVALID_FORMAT, kBox);
    return -1;
  }

  const double capacity = ComputeCardCapacity(bpb.data());
  if (CheckSizeWindow(sizeWindowKind, capacity) == SizeCheck::Outside) {
    log.ShowMessageBoxString(IDS_SIZE_WINDOW, kMbOk);
    return -1;
  }

  std::optional<DriveGeometry> repaired;
  if (DecideGeometryRepair(bpb)) {
    if (capacity == 0) {
      cardSector.Release();
      newSector.Release();
      log.ShowMessageBoxString(IDS_NONCONFORMING_CARD, kMbOk);
      return -1;
    }
    CList<CF_DEFINITION> definitions;
    const int loaded = LoadCardDefinitions(definitionSource, definitions);
    if (loaded != -1) {
      cardSector.Release();
      newSector.Release();
      log.ShowMessageBoxString(static_cast<unsigned>(loaded), kMbOk);
      return -1;
    }
    const std::optional<CF_DEFINITION> def = FindCardDefinition(definitions, capacity);
    if (!def) {
      cardSector.Release();
      newSector.Release();
      log.ShowMessageBoxString(IDS_SIZE_WINDOW, kMbOk);
      return -1;
    }
    repaired = DefinitionGeometry(*def);
  }

  const SystemKindRecord& facts = SystemKindFacts(imageKind);
  ImageLoad bootTemplate;
  Failure error;
  if (!LoadImage(resources, facts.bootTemplate, kBootSectorSize, bootTemplate, error)) {
    log.ShowSystemError(error);
    return -1;
  }
  ImageLoad loader;
  if (facts.loader != 0 && !LoadImage(resources, facts.loader, kBldrLoaderSize, loader, error)) {
    log.ShowSystemError(error);
    return -1;
  }

  std::optional<std::span<const std::uint8_t, kBldrLoaderSize>> loaderBytes;
  if (loader) loaderBytes = loader.bytes.first<kBldrLoaderSize>();
  const SectorBytes composed =
      ComposeBootSector(bootTemplate.bytes.first<kBootSectorSize>(), bpb, loaderBytes, repaired);
  std::copy(composed.begin(), composed.end(), newSector.data());

  // A failure must never pass without a box, even when the system left no
  // code behind.
  if (!card.WriteVolumeBootSector(driveEntry, newSector)) {
    const Failure failure = card.LastError();
    log.ShowSystemError(failure ? failure : Failure::Own(FailureKind::Write));
    return -1;
  }
  // Written means that the card gives the sector back as composed: boot
  // code, the card's BPB and the repaired geometry. The card's own sector
  // has served its purpose; its buffer takes the answer.
  if (!card.ReadBackVolumeBootSector(driveEntry, cardSector)) {
    const Failure failure = card.LastError();
    log.ShowSystemError(failure ? failure : Failure::Own(FailureKind::Read));
    return -1;
  }
  if (!std::equal(composed.begin(), composed.end(), cardSector.data())) {
    log.ShowSystemError(Failure::Own(FailureKind::ReadBack));
    return -1;
  }
  return 0;
}

}  // namespace tessarin
