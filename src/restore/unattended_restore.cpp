#include "restore/unattended_restore.h"

#include "boot/boot_sector.h"
#include "boot/master_boot_record.h"
#include "card/drive_rules.h"
#include "install/firmware.h"
#include "install/project_folder.h"

namespace tessarin {

std::optional<std::string> FindUnattendedDrive(const std::string& arguments) {
  static const std::string kOption = "/DRIVE:";
  if (arguments.empty()) return std::nullopt;
  std::string upper = arguments;
  for (char& c : upper) c = ToUpperAscii(c);
  const std::size_t at = upper.find(kOption);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t letterAt = at + kOption.size();
  return MakeDriveEntry(letterAt < upper.size() ? upper[letterAt] : '\0');
}

bool RunUnattendedRestore(RestoreContext& ctx, std::string driveEntry) {
  ctx.m_strDrive = driveEntry;
  const std::string drive = ctx.m_strDrive;
  const char letter = DriveLetter(drive);
  const bool isLetter = drive.size() == 5 && ToUpperAscii(letter) >= 'A' && ToUpperAscii(letter) <= 'Z';

  // Nothing is asked before the card is formatted, so a drive that could
  // never hold a card is refused here.
  if (!isLetter) {
    ctx.log.ShowMessageBoxString(IDS_NO_DESTINATION, kMbOk | kMbIconExclamation);
    return false;
  }
  if (!IsCardDriveCandidate(letter, ctx.ports.system)) {
    std::string text = "Drive ";
    text += letter;
    text +=
        ": cannot be restored.\n\nOnly removable and fixed drives other than C: and the system drive can be restored.";
    ctx.log.ShowMessageBox(text, kMbOk | kMbIconExclamation);
    return false;
  }

  CardPort& card = ctx.ports.card;
  // Nobody is asked, so what would need an answer stops the run before the
  // card is touched: a locked card, and a card whose files cannot be read
  // (the operator decides about those in the dialog).
  auto withLetter = [&](unsigned id) {
    std::string text = ctx.log.LoadResString(id);
    if (const std::size_t at = text.find("%c"); at != std::string::npos) text.replace(at, 2, 1, letter);
    return text;
  };
  if (card.QueryWriteProtection(drive) == WriteProtection::WriteProtected) {
    ctx.log.ShowMessageBox(withLetter(IDS_WRITE_PROTECTED), kMbOk | kMbIconExclamation);
    return false;
  }
  if (ctx.ports.files.Probe(CardProjectFolder(drive, ctx.ports.files.Separator())) == PathPresence::Unreadable) {
    ctx.log.ShowMessageBox(withLetter(IDS_CARD_UNREADABLE_STOPPED), kMbOk | kMbIconExclamation);
    return false;
  }
  ctx.ports.format.FormatCard(drive);  // the boot-sector step refuses a volume it cannot handle
  if (card.SetVolumeLock(drive, true) == 0) return false;
  if (InstallMasterBootRecord(card, ctx.ports.resources, ctx.log, drive) != 0 ||
      InstallBootSector(card, ctx.ports.resources, ctx.CardDefinitions(), ctx.log, ctx.GetSystemKind(), g_nSystemKind,
                        drive) != 0) {
    card.SetVolumeLock(drive, false);
    return false;
  }
  card.SetVolumeLock(drive, false);
  return InstallFirmware(ctx.ports.installer, ctx.ports.files, card, ctx.log, g_nSystemKind, drive) == 0;
}

}  // namespace tessarin
