#include "install/firmware.h"

#include <algorithm>

#include "install/boot_file.h"
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
  if (FindSystemKind(kind) != nullptr) cmd.firstFiles.assign(facts.systemFiles.begin(), facts.systemFiles.end());
  return cmd;
}

std::vector<std::string> SystemFilesFor(SystemKind kind, char driveLetter, char separator) {
  std::vector<std::string> files;
  const SystemKindRecord* facts = FindSystemKind(kind);
  if (facts == nullptr) return files;
  for (const char* name : facts->systemFiles) files.push_back(DriveRoot(driveLetter, separator) + name);
  return files;
}

int InstallFirmware(InstallerPort& installer, FilePort& files, CardPort& card, OperationLog& log, SystemKind kind,
                    std::string driveEntry) {
  const char letter = DriveLetter(driveEntry);
  const char sep = files.Separator();
  const InstallerCommand command = InstallerCommandFor(kind, letter, sep);
  const InstallerOutcome outcome = installer.RunInstaller(command);
  if (!outcome.started) {
    log.ShowSystemError(outcome.error ? outcome.error : Failure::Own(FailureKind::InvalidData));
    return -1;
  }
  if (outcome.exitCode != 0) {
    log.ShowMessageBoxString(IDS_INSTALLER_FAILED, kMbOk | kMbIconExclamation);
    return -1;
  }
  // A system file the archive did not bring is passed over without a word.
  const std::vector<std::string> systemFiles = SystemFilesFor(kind, letter, sep);
  for (const std::string& file : systemFiles) files.SetAttributes(file, kSystemFileAttributes);

  // A card that took the files but gives back something else fails as an
  // installation that went wrong.
  if (!installer.ProveInstallation(command, systemFiles, kSystemFileAttributes)) {
    log.ShowMessageBoxString(IDS_INSTALLER_FAILED, kMbOk | kMbIconExclamation);
    return -1;
  }

  // Every file in place is not yet a card that starts: the boot sector
  // searches only the first entries of the root folder and reads its file
  // in a row, and the archive decides the order in which its files arrive.
  const SystemKindRecord* facts = FindSystemKind(kind);
  if (facts == nullptr || facts->bootFile.search == BootFileSearch::None) return 0;
  SectorBuffer sector = card.AllocateSector();
  if (!sector) {
    log.ShowMessageBoxString(IDS_MEMORY_ERROR, kMbOk | kMbIconExclamation);
    return -1;
  }
  const BootFileFinding finding = FindBootFile(facts->bootFile, [&](std::uint64_t n, std::uint8_t* bytes) {
    if (!card.ReadVolumeSector(driveEntry, n, sector)) return false;
    std::copy(sector.data(), sector.data() + kSectorSize, bytes);
    return true;
  });
  switch (finding) {
    case BootFileFinding::Reachable:
      return 0;
    case BootFileFinding::Unreadable:
      log.ShowMessageBoxString(IDS_CANNOT_OPEN_DRIVE, kMbOk | kMbIconExclamation);
      return -1;
    case BootFileFinding::NotSearched:
    case BootFileFinding::Scattered:
      log.ShowMessageBox(log.LoadResString(finding == BootFileFinding::NotSearched ? IDS_BOOT_FILE_NOT_FOUND
                                                                                   : IDS_BOOT_FILE_SCATTERED) +
                             "\n\n" + facts->bootFile.fileName,
                         kMbOk | kMbIconExclamation);
      return -1;
  }
  return -1;
}

}  // namespace tessarin
