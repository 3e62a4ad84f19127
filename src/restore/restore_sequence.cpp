#include "restore/restore_sequence.h"

#include "boot/boot_sector.h"
#include "boot/master_boot_record.h"
#include "install/firmware.h"
#include "install/project_folder.h"
#include "restore/saved_projects.h"

namespace tessarin {
namespace {

class Sequence {
 public:
  explicit Sequence(RestoreContext& ctx) : ctx_(ctx), log_(ctx.log), ui_(ctx.ports.ui), card_(ctx.ports.card) {}

  RestoreResult Run();

 private:
  void Info(const char* text) { log_.Log(std::string(kInfo) + text); }

  // The operator must be able to find a project folder that was saved but
  // not put back: the last line of the log names it.
  void NameSavedProject() {
    const std::string saved = SavedProjectCopy(ctx_.ports.files.Separator());
    if (!saved.empty()) log_.Log(std::string(kWarning) + "The Project Folder is saved in " + saved);
  }

  RestoreResult ExitLockFailed() {  // exit A
    log_.StopProgressAnimation();
    log_.Log(std::string(kError) + "Failed to Lock the Volume. Try removing reinserting drive and try again.");
    NameSavedProject();
    log_.ShowMessageBox(kLockFailedBox, kMbOk);
    ui_.SetBusy(false);
    return RestoreResult::Failed;
  }

  RestoreResult ExitFormatFailed() {  // exit B
    log_.StopProgressAnimation();
    log_.Log(std::string(kError) + "Failed to Format the drive. Try removing reinserting drive and try again.");
    NameSavedProject();
    log_.ShowMessageBox(kFormatFailedBox, kMbOk);
    ui_.SetBusy(false);
    return RestoreResult::Failed;
  }

  RestoreResult ExitMbrFailed() {  // exit C: the step has reported and stopped the animation
    card_.SetVolumeLock(drive_, false);
    NameSavedProject();
    ui_.SetBusy(false);
    return RestoreResult::Failed;
  }

  RestoreResult ExitStepFailed() {  // exit D
    log_.StopProgressAnimation();
    card_.SetVolumeLock(drive_, false);
    NameSavedProject();
    ui_.SetBusy(false);
    return RestoreResult::Failed;
  }

  RestoreResult ExitBackupFailed(BackupResult why) {
    log_.StopProgressAnimation();
    log_.Log(
        std::string(kError) +
        (why == BackupResult::NoTempFolder
             ? "Failed to back up the Project Folder: no temporary folder could be made. The drive was not changed."
             : "Failed to back up the Project Folder completely. The drive was not changed."));
    log_.ShowMessageBox(kBackupFailedBox, kMbOk | kMbIconExclamation);
    ui_.SetBusy(false);
    return RestoreResult::Failed;
  }

  // A text of the string table with the drive's letter for its "%c".
  std::string WithDriveLetter(unsigned id) const {
    std::string text = log_.LoadResString(id);
    if (const std::size_t at = text.find("%c"); at != std::string::npos) text.replace(at, 2, 1, DriveLetter(drive_));
    return text;
  }

  // The card, now held: who it is, which saved project folders wait for
  // it. A copy saved now gets its note; a card without a readable project
  // folder gets back the copy an earlier restore of it saved; every other
  // copy that waits is named. False when the operator chose to keep a card
  // whose files cannot be read (the card is untouched).
  bool PlaceSavedProjects(BackupResult backup);
  std::optional<CardIdentity> IdentifyHeldCard();

  RestoreContext& ctx_;
  OperationLog& log_;
  OperatorPort& ui_;
  CardPort& card_;
  std::string drive_;
};

std::optional<CardIdentity> Sequence::IdentifyHeldCard() {
  SectorBuffer mbr = card_.AllocateSector();
  SectorBuffer vbr = card_.AllocateSector();
  if (!mbr || !vbr || !card_.ReadMbrSector(drive_, mbr) || !card_.ReadVolumeBootSector(drive_, vbr))
    return std::nullopt;
  return IdentifyCard(mbr.data(), vbr.data(), card_.Location(drive_));
}

bool Sequence::PlaceSavedProjects(BackupResult backup) {
  FilePort& files = ctx_.ports.files;
  const char sep = files.Separator();
  const bool preserve = ctx_.m_bPreserveProject;
  const std::optional<CardIdentity> card = IdentifyHeldCard();
  // Looked for before this restore's own copy gets its note.
  bool searchComplete = true;
  const std::vector<WaitingCopy> waiting = FindWaitingCopies(files, &searchComplete);
  WaitingChoice choice;
  if (card) {
    choice = ChooseWaitingCopies(waiting, *card);
  } else {
    choice.others = waiting;
  }

  const bool cardHasNone = backup == BackupResult::NoProjectFolder || backup == BackupResult::Unreadable;
  if (preserve && cardHasNone && (!searchComplete || (!card && !waiting.empty()))) {
    // The card holds no project, and whether an earlier restore saved one
    // from it cannot be told: formatting now could leave that copy behind
    // for good, and the restore report success.
    ui_.StopProgressAnimation();
    log_.ShowMessageBox(WithDriveLetter(IDS_SAVED_PROJECTS_UNKNOWN), kMbOk | kMbIconExclamation);
    for (const WaitingCopy& copy : waiting)
      log_.Log(std::string(kWarning) + "A Project Folder saved by an earlier restore (" + copy.note.savedAt +
               ", drive " + copy.note.card.location + ") waits in " + WaitingProject(copy, sep));
    log_.Log(std::string(kError) +
             "The Project Folders saved by earlier restores cannot all be read or matched to the drive. "
             "The drive was not changed.");
    card_.SetVolumeLock(drive_, false);
    ui_.SetBusy(false);
    return false;
  }
  if (preserve && backup == BackupResult::Saved && card) {
    const std::string note = FormatSavedCardNote(*card, ctx_.ports.system.LocalDateTime());
    files.WriteTextFile(g_strSavedProjectFolder + sep + kSavedCardNote, note);
  }
  if (preserve && cardHasNone && choice.thisCard) {
    // The card's project, as an earlier restore of this card saved it.
    g_strSavedProjectFolder = choice.thisCard->folder;
    log_.Log(std::string(kWarning) + "The Project Folder saved from this drive by an earlier restore (" +
             choice.thisCard->note.savedAt + ") in " + WaitingProject(*choice.thisCard, sep) + " will be put back.");
  } else {
    if (choice.thisCard) choice.others.insert(choice.others.begin(), *choice.thisCard);
    if (preserve && backup == BackupResult::Unreadable) {
      ui_.StopProgressAnimation();
      if (log_.ShowMessageBox(WithDriveLetter(IDS_CARD_UNREADABLE), kMbYesNo | kMbIconQuestion | kMbDefButton2) !=
          kIdYes) {
        log_.Log(std::string(kError) + "The Project Folder on the drive cannot be read. The drive was not changed.");
        card_.SetVolumeLock(drive_, false);
        ui_.SetBusy(false);
        return false;
      }
      log_.Log(std::string(kWarning) + "The drive is restored without its Project Folder, which cannot be read.");
      ui_.StartProgressAnimation();
    }
  }
  for (const WaitingCopy& other : choice.others)
    log_.Log(std::string(kWarning) + "A Project Folder saved by an earlier restore (" + other.note.savedAt +
             ", drive " + other.note.card.location + ") waits in " + WaitingProject(other, sep));
  return true;
}

RestoreResult Sequence::Run() {
  ui_.SetBusy(true);
  const DialogValues values = ui_.ExchangeIntoMembers();
  ctx_.m_strDrive = values.drive;
  ctx_.m_bPreserveProject = values.preserveProject;
  drive_ = ctx_.m_strDrive;

  if (drive_.empty()) {
    log_.ShowMessageBoxString(IDS_NO_DESTINATION, kMbOk | kMbIconExclamation);
    ui_.SetBusy(false);
    return RestoreResult::NoDrive;
  }

  // A locked card would only fail in the middle, after formatting began.
  if (card_.QueryWriteProtection(drive_) == WriteProtection::WriteProtected) {
    log_.ShowMessageBox(WithDriveLetter(IDS_WRITE_PROTECTED), kMbOk | kMbIconExclamation);
    ui_.SetBusy(false);
    return RestoreResult::Refused;
  }

  std::string question = log_.LoadResString(IDS_CONFIRM_RESTORE);
  question += ' ';
  question += DriveLetter(drive_);
  question += ":?";
  if (log_.ShowMessageBox(question, kMbYesNo | kMbIconQuestion) == kIdNo) {
    ui_.SetBusy(false);
    return RestoreResult::Declined;
  }

  ui_.StartProgressAnimation();

  BackupResult backup = BackupResult::NoProjectFolder;
  if (ctx_.m_bPreserveProject) {
    backup = BackupProjectFolder(ctx_.ports.files, log_, drive_);
    if (backup == BackupResult::NoTempFolder || backup == BackupResult::CopyIncomplete) return ExitBackupFailed(backup);
  }

  Info("Forcing Lock on Volume.");
  if (card_.SetVolumeLock(drive_, true) == 0) return ExitLockFailed();
  Info("Forcing Lock on Volume Completed.");
  if (!PlaceSavedProjects(backup)) return RestoreResult::Refused;
  Info("Removing Lock on Volume.");
  card_.SetVolumeLock(drive_, false);
  Info("Removeing Lock on Volume Completed.");

  Info("Formatting Started.");
  if (!ctx_.ports.format.FormatCard(drive_)) return ExitFormatFailed();
  Info("Formatting Completed.");
  ctx_.ports.format.SettleAfterFormatting(drive_);

  Info("Locking Volume.");
  if (card_.SetVolumeLock(drive_, true) == 0) return ExitLockFailed();
  Info("Locking Volume Completed.");

  Info("Installing Master Boot Record.");
  if (InstallMasterBootRecord(card_, ctx_.ports.resources, log_, drive_) != 0) return ExitMbrFailed();
  Info("Installing Master Boot Record Completed.");

  Info("Installing BootSector.");
  if (InstallBootSector(card_, ctx_.ports.resources, ctx_.CardDefinitions(), log_, ctx_.GetSystemKind(), g_nSystemKind,
                        drive_) != 0)
    return ExitStepFailed();
  Info("Installing BootSector Completed.");

  Info("Unlocking Volume.");
  card_.SetVolumeLock(drive_, false);
  Info("Unlocking Volume Completed.");

  Info("Installing Firmware... Please wait.");
  if (InstallFirmware(ctx_.ports.installer, ctx_.ports.files, card_, log_, g_nSystemKind, drive_) != 0)
    return ExitStepFailed();
  Info("Installing Firmware Completed");

  if (ctx_.m_bPreserveProject) RestoreProjectFolder(ctx_.ports.files, log_, drive_);

  log_.StopProgressAnimation();
  card_.SetVolumeLock(drive_, false);
  Info("System restored to FLASH successfully.");
  const bool projectWaiting = !SavedProjectCopy(ctx_.ports.files.Separator()).empty();
  NameSavedProject();
  log_.ShowMessageBoxString(IDS_RESTORED, kMbOk | kMbIconExclamation);
  ui_.SetBusy(false);
  return projectWaiting ? RestoreResult::ProjectNotRestored : RestoreResult::Completed;
}

}  // namespace

RestoreResult RestoreWorker(RestoreContext& ctx) { return Sequence(ctx).Run(); }

}  // namespace tessarin
