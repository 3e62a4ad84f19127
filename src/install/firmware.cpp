#include "install/firmware.h"

#include "res/string_table.h"

namespace tessarin {
namespace {

std::string DriveRoot(char letter, char separator) {
  std::string root(1, letter);
  root += ':';
  root += separator;
  return root;
}

}  // namespace

InstallerCommand InstallerCommandFor(SystemKind kind, char driveLetter, char separator) {
  const SystemKindRecord& facts = SystemKindFacts(kind);
  InstallerCommand cmd;
  cmd.driveLetter = driveLetter;
  cmd.archive = TableString(facts.archiveString);
  cmd.commandLine = cmd.archive + ' ' + facts.installerOptions + DriveRoot(driveLetter, separator);
  return cmd;
}

std::vector<std::string> SystemFilesFor(SystemKind kind, char driveLetter, char separator) {
  std::vector<std::string> files;
  const SystemKindRecord* facts = FindSystemKind(kind);
  if (facts == nullptr) return files;
  for (const char* name : facts->systemFiles) files.push_back(DriveRoot(driveLetter, separator) + name);
  return files;
}

int InstallFirmware(InstallerPort& installer, FilePort& files, OperationLog& log, SystemKind kind,
                    std::string driveEntry) {
  const char letter = DriveLetter(driveEntry);
  const char sep = files.Separator();
  const InstallerOutcome outcome = installer.RunInstaller(InstallerCommandFor(kind, letter, sep));
  if (!outcome.started) {
    log.ShowSystemError(outcome.error ? outcome.error : Failure::Own(FailureKind::InvalidData));
    return -1;
  }
  if (outcome.exitCode != 0) {
    log.ShowMessageBoxString(IDS_INSTALLER_FAILED, kMbOk | kMbIconExclamation);
    return -1;
  }
  // A system file the archive did not bring is passed over without a word.
  for (const std::string& file : SystemFilesFor(kind, letter, sep)) files.SetAttributes(file, kSystemFileAttributes);
  return 0;
}

}  // namespace tessarin
