#include "restore/restore_sequence.h"

#include <algorithm>
#include <utility>

#include "boot/boot_sector.h"
#include "boot/master_boot_record.h"
#include "card/sector_layout.h"
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
    if (saved.empty()) return;
    if (ctx_.ports.files.Exists(saved)) {
      log_.Log(std::string(kWarning) + "The Project Folder is saved in " + saved);
    } else {
      log_.Log(std::string(kError) + "The saved copy of the Project Folder in " + saved + " is gone.");
    }
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
    card_.SetVolumeLock(drive_, false);
    log_.Log(
        std::string(kError) +
        (why == BackupResult::NoTempFolder
             ? "Failed to back up the Project Folder: no temporary folder could be made. The drive was not changed."
         : why == BackupResult::NotDurable
             ? "Failed to back up the Project Folder: the copy could not be written to the disk for good. The "
               "drive was not changed."
             : "Failed to back up the Project Folder completely. The drive was not changed."));
    log_.ShowMessageBox(kBackupFailedBox, kMbOk | kMbIconExclamation);
    ui_.SetBusy(false);
    return RestoreResult::Failed;
  }

  // Stops with the card as it was: its lock let go, the box shown.
  void RefuseKeepingCard(unsigned box, const std::string& line) {
    ui_.StopProgressAnimation();
    log_.ShowMessageBox(WithDriveLetter(box), kMbOk | kMbIconExclamation);
    log_.Log(std::string(kError) + line);
    card_.SetVolumeLock(drive_, false);
    ui_.SetBusy(false);
  }

  // A text of the string table with the drive's letter for its "%c".
  std::string WithDriveLetter(unsigned id) const {
    std::string text = log_.LoadResString(id);
    if (const std::size_t at = text.find("%c"); at != std::string::npos) text.replace(at, 2, 1, DriveLetter(drive_));
    return text;
  }

  // The card, now held: who it is, which saved project folders wait for
  // it. A copy saved now is bound to the card (its note, then the card's
  // mark); a card that carries the mark of a waiting copy gets that copy
  // back, whatever it holds now; every other copy that waits is named.
  // False when the restore stops here, the card as it was (or, should
  // marking it fail, with only its disk signature changed).
  bool PlaceSavedProjects(BackupResult backup);
  std::optional<CardIdentity> IdentifyHeldCard();
  bool PutBackWaitingCopy(const WaitingCopy& copy, const std::optional<CardIdentity>& card);
  bool BindNewCopy(const CardIdentity& card);
  bool MarkCard(std::uint32_t mark);
  void NameWaitingCopies(const WaitingChoice& choice);

  RestoreContext& ctx_;
  // How PlaceSavedProjects ended the restore, when it did.
  RestoreResult stopped_ = RestoreResult::Refused;
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

bool Sequence::MarkCard(std::uint32_t mark) {
  SectorBuffer mbr = card_.AllocateSector();
  SectorBuffer back = card_.AllocateSector();
  if (!mbr || !back || !card_.ReadMbrSector(drive_, mbr)) return false;
  for (int i = 0; i < 4; ++i) mbr.data()[kMbrDiskSignature + i] = static_cast<std::uint8_t>(mark >> (8 * i));
  if (!card_.WriteMbrSector(drive_, mbr) || !card_.ReadBackMbrSector(drive_, back)) return false;
  return std::equal(mbr.data(), mbr.data() + kSectorSize, back.data());
}

bool Sequence::BindNewCopy(const CardIdentity& card) {
  FilePort& files = ctx_.ports.files;
  SavedCardNote note;
  note.card = card;
  note.savedAt = ctx_.ports.system.LocalDateTime();
  // A number the card never had: a clone of it keeps the old one.
  do {
    note.mark = ctx_.ports.system.NewCardMark();
  } while (note.mark == 0 || note.mark == card.diskSignature);
  note.contents = DigestSavedCopy(files, g_strSavedProjectFolder);
  // The note last, once the copy is on the disk; the mark on the card
  // only once the note is: a card that carries a mark always has its copy.
  if (!note.contents ||
      !files.WriteTextFile(g_strSavedProjectFolder + files.Separator() + kSavedCardNote, FormatSavedCardNote(note))) {
    DiscardSavedCopy(files);
    stopped_ = ExitBackupFailed(BackupResult::NotDurable);
    return false;
  }
  if (!MarkCard(note.mark)) {
    // Not formatted: the card still holds its project, and the copy is
    // let go (a mark that reached the card binds it to no copy).
    stopped_ = RestoreResult::Failed;
    DiscardSavedCopy(files);
    log_.StopProgressAnimation();
    log_.Log(std::string(kError) +
             "Failed to mark the drive as the one its saved Project Folder belongs to. Its "
             "Project Folder is still on it.");
    log_.ShowMessageBoxString(IDS_CANNOT_OPEN_DRIVE, kMbOk | kMbIconExclamation);
    card_.SetVolumeLock(drive_, false);
    ui_.SetBusy(false);
    return false;
  }
  return true;
}

bool Sequence::PutBackWaitingCopy(const WaitingCopy& copy, const std::optional<CardIdentity>& card) {
  FilePort& files = ctx_.ports.files;
  const std::string where = WaitingProject(copy, files.Separator());
  std::string why = WhyCopyUnfit(files, copy);
  if (why.empty() && !files.HoldFolder(copy.folder)) why = "another restore is putting it back";
  if (why.empty() && !card) why = "the drive cannot be read";
  if (!why.empty()) {
    // Never put back, never deleted: it may still be all there is.
    DiscardSavedCopy(files);
    RefuseKeepingCard(IDS_SAVED_COPY_UNFIT, "The Project Folder saved by an earlier restore (" + copy.note.savedAt +
                                                ") in " + where + " cannot be put back: " + why +
                                                ". It is kept there. The drive was not changed.");
    return false;
  }
  // What this restore saved of the card is not the project: the card
  // carries the mark of a copy whose restore did not finish.
  DiscardSavedCopy(files);
  g_strSavedProjectFolder = copy.folder;
  if (!CarriesMark(copy.note, *card)) {
    // Chosen by the operator: bound to this card before it is formatted.
    SavedCardNote note = copy.note;
    note.card = *card;
    do {
      note.mark = ctx_.ports.system.NewCardMark();
    } while (note.mark == 0 || note.mark == card->diskSignature);
    if (!files.WriteTextFile(copy.folder + files.Separator() + kSavedCardNote, FormatSavedCardNote(note)) ||
        !MarkCard(note.mark)) {
      stopped_ = RestoreResult::Failed;
      log_.StopProgressAnimation();
      log_.Log(std::string(kError) + "Failed to mark the drive as the one the saved Project Folder belongs to.");
      NameSavedProject();
      log_.ShowMessageBoxString(IDS_CANNOT_OPEN_DRIVE, kMbOk | kMbIconExclamation);
      card_.SetVolumeLock(drive_, false);
      ui_.SetBusy(false);
      return false;
    }
  }
  log_.Log(std::string(kWarning) + "The Project Folder saved from this drive by an earlier restore (" +
           copy.note.savedAt + ") in " + where + " will be put back.");
  return true;
}

void Sequence::NameWaitingCopies(const WaitingChoice& choice) {
  const char sep = ctx_.ports.files.Separator();
  for (const WaitingCopy& copy : choice.maybeThisCard) {
    std::string line = std::string(kWarning) + "A Project Folder saved from a drive like this one (" +
                       copy.note.savedAt + ", drive " + copy.note.card.location + ") waits in " +
                       WaitingProject(copy, sep) +
                       "; it is not put back by itself, as this drive does not carry its mark.";
    if (ctx_.putBackCommand) line += " To put it on this drive: " + ctx_.putBackCommand(copy.folder);
    log_.Log(line);
  }
  for (const WaitingCopy& other : choice.others)
    log_.Log(std::string(kWarning) + "A Project Folder saved by an earlier restore (" + other.note.savedAt +
             ", drive " + other.note.card.location + ") waits in " + WaitingProject(other, sep));
}

bool Sequence::PlaceSavedProjects(BackupResult backup) {
  FilePort& files = ctx_.ports.files;
  const bool preserve = ctx_.m_bPreserveProject;
  const std::optional<CardIdentity> card = IdentifyHeldCard();
  // Looked for before this restore's own copy gets its note.
  bool searchComplete = true;
  std::vector<std::string> ignored;
  const std::vector<WaitingCopy> waiting = FindWaitingCopies(files, &searchComplete, &ignored);
  for (const std::string& line : ignored)
    log_.Log(std::string(kWarning) + "Not taken for a saved Project Folder: " + line);
  WaitingChoice choice;
  if (card) {
    choice = ChooseWaitingCopies(waiting, *card);
  } else {
    choice.others = waiting;
  }

  // The copy that goes back: the one the operator named, else the one
  // whose mark the card carries.
  std::optional<WaitingCopy> chosen;
  if (preserve && !ctx_.m_strPutBackCopy.empty()) {
    auto named = [&](const WaitingCopy& c) { return c.folder == ctx_.m_strPutBackCopy; };
    for (auto* list : {&choice.maybeThisCard, &choice.others}) {
      if (const auto it = std::find_if(list->begin(), list->end(), named); it != list->end()) {
        chosen = *it;
        list->erase(it);
      }
    }
    if (choice.thisCard && named(*choice.thisCard)) chosen = std::exchange(choice.thisCard, std::nullopt);
    if (!chosen) {
      DiscardSavedCopy(files);
      RefuseKeepingCard(IDS_SAVED_COPY_UNFIT, ctx_.m_strPutBackCopy +
                                                  " is not a complete saved Project Folder of this user. The drive "
                                                  "was not changed.");
      return false;
    }
  } else if (preserve && choice.thisCard) {
    chosen = std::exchange(choice.thisCard, std::nullopt);
  }
  if (choice.thisCard) {
    // The card's own, left waiting: the project folder is not preserved
    // this time, or the operator named another copy.
    log_.Log(std::string(kWarning) + "The Project Folder saved from this drive by an earlier restore (" +
             choice.thisCard->note.savedAt + ") waits in " + WaitingProject(*choice.thisCard, files.Separator()) +
             "; it is not put back this time.");
  }

  if (chosen) {
    NameWaitingCopies(choice);
    return PutBackWaitingCopy(*chosen, card);
  }

  const bool cardHasNone = backup == BackupResult::NoProjectFolder || backup == BackupResult::Unreadable;
  if (preserve && cardHasNone && (!searchComplete || !card)) {
    // The card holds no project, and whether a copy saved from it waits
    // cannot be told: formatting now could leave that copy behind for
    // good, and the restore report success.
    for (const WaitingCopy& copy : waiting)
      log_.Log(std::string(kWarning) + "A Project Folder saved by an earlier restore (" + copy.note.savedAt +
               ", drive " + copy.note.card.location + ") waits in " + WaitingProject(copy, files.Separator()));
    RefuseKeepingCard(IDS_SAVED_PROJECTS_UNKNOWN,
                      "The Project Folders saved by earlier restores cannot all be read or matched to the drive. "
                      "The drive was not changed.");
    return false;
  }
  if (preserve) {
    switch (backup) {
      case BackupResult::NoTempFolder:
      case BackupResult::CopyIncomplete:
      case BackupResult::NotDurable:
        NameWaitingCopies(choice);
        stopped_ = ExitBackupFailed(backup);
        return false;
      case BackupResult::Saved:
        if (!card) {
          DiscardSavedCopy(files);
          stopped_ = ExitBackupFailed(BackupResult::CopyIncomplete);
          return false;
        }
        if (!BindNewCopy(*card)) return false;
        break;
      case BackupResult::Unreadable:
        ui_.StopProgressAnimation();
        if (log_.ShowMessageBox(WithDriveLetter(IDS_CARD_UNREADABLE), kMbYesNo | kMbIconQuestion | kMbDefButton2) !=
            kIdYes) {
          NameWaitingCopies(choice);
          log_.Log(std::string(kError) + "The Project Folder on the drive cannot be read. The drive was not changed.");
          card_.SetVolumeLock(drive_, false);
          ui_.SetBusy(false);
          return false;
        }
        log_.Log(std::string(kWarning) + "The drive is restored without its Project Folder, which cannot be read.");
        ui_.StartProgressAnimation();
        break;
      case BackupResult::NoProjectFolder:
        break;
    }
  }
  NameWaitingCopies(choice);
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

  // A backup that failed stops the restore only once the card is known
  // not to carry the mark of a copy an earlier restore saved from it.
  BackupResult backup = BackupResult::NoProjectFolder;
  if (ctx_.m_bPreserveProject && ctx_.m_strPutBackCopy.empty())
    backup = BackupProjectFolder(ctx_.ports.files, log_, drive_);

  Info("Forcing Lock on Volume.");
  if (card_.SetVolumeLock(drive_, true) == 0) return ExitLockFailed();
  Info("Forcing Lock on Volume Completed.");
  if (!PlaceSavedProjects(backup)) return stopped_;
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

  const ProjectReturn project =
      ctx_.m_bPreserveProject ? RestoreProjectFolder(ctx_.ports.files, log_, drive_) : ProjectReturn::NothingSaved;

  log_.StopProgressAnimation();
  card_.SetVolumeLock(drive_, false);
  if (project == ProjectReturn::PutBack || project == ProjectReturn::NothingSaved) {
    Info("System restored to FLASH successfully.");
    NameSavedProject();
    log_.ShowMessageBoxString(IDS_RESTORED, kMbOk | kMbIconExclamation);
    ui_.SetBusy(false);
    return RestoreResult::Completed;
  }
  // The system is on the card, the project is not: no success is told.
  log_.Log(std::string(kError) + "System restored to FLASH, but the Project Folder was not put back on the drive.");
  NameSavedProject();
  log_.ShowMessageBox(
      WithDriveLetter(project == ProjectReturn::CopyGone ? IDS_PROJECT_COPY_GONE : IDS_PROJECT_NOT_RESTORED),
      kMbOk | kMbIconExclamation);
  ui_.SetBusy(false);
  return RestoreResult::ProjectNotRestored;
}

}  // namespace

RestoreResult RestoreWorker(RestoreContext& ctx) {
  const RestoreResult result = Sequence(ctx).Run();
  // A saved copy waits for the next restore, which may run in this same
  // process (the dialog's retry): it must be able to take it.
  if (!g_strSavedProjectFolder.empty() && g_strSavedProjectFolder != kNoTempFolder)
    ctx.ports.files.ReleaseFolder(g_strSavedProjectFolder);
  return result;
}

}  // namespace tessarin
