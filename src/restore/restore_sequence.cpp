#include "restore/restore_sequence.h"

#include "boot/boot_sector.h"
#include "boot/master_boot_record.h"
#include "install/firmware.h"
#include "install/project_folder.h"

namespace tessarin {
namespace {

constexpr unsigned kPauseAfterFormatMs = 2000;

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

  RestoreContext& ctx_;
  OperationLog& log_;
  OperatorPort& ui_;
  CardPort& card_;
  std::string drive_;
};

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

  std::string question = log_.LoadResString(IDS_CONFIRM_RESTORE);
  question += ' ';
  question += DriveLetter(drive_);
  question += ":?";
  if (log_.ShowMessageBox(question, kMbYesNo | kMbIconQuestion) == kIdNo) {
    ui_.SetBusy(false);
    return RestoreResult::Declined;
  }

  ui_.StartProgressAnimation();

  if (ctx_.m_bPreserveProject) {
    const BackupResult backup = BackupProjectFolder(ctx_.ports.files, log_, drive_);
    if (backup == BackupResult::NoTempFolder || backup == BackupResult::CopyIncomplete) return ExitBackupFailed(backup);
  }

  Info("Forcing Lock on Volume.");
  if (card_.SetVolumeLock(drive_, true) == 0) return ExitLockFailed();
  Info("Forcing Lock on Volume Completed.");
  Info("Removing Lock on Volume.");
  card_.SetVolumeLock(drive_, false);
  Info("Removeing Lock on Volume Completed.");

  Info("Formatting Started.");
  if (!ctx_.ports.format.FormatCard(drive_)) return ExitFormatFailed();
  Info("Formatting Completed.");
  ctx_.ports.system.Sleep(kPauseAfterFormatMs);

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
