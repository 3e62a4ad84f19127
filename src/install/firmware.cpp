#include "install/firmware.h"

namespace tessarin {
namespace {

std::string DriveRoot(char letter, char separator) {
  std::string root(1, letter);
  root += ':';
  root += separator;
  return root;
}

}  // namespace

InstallerCommand InstallerCommandFor(int systemKind, char driveLetter, char separator) {
  InstallerCommand cmd;
  cmd.driveLetter = driveLetter;
  const std::string root = DriveRoot(driveLetter, separator);
  switch (systemKind) {
    case static_cast<int>(SystemKind::RomDos):
      cmd.archive = "romdossys.exe";
      cmd.commandLine = cmd.archive + " -auto " + root;
      break;
    case static_cast<int>(SystemKind::WinCE):
      cmd.archive = "wincesys.exe";
      cmd.commandLine = cmd.archive + " -y -o" + root;
      break;
    default:
      cmd.archive = "dossys.exe";
      cmd.commandLine = cmd.archive + " -auto " + root;
      break;
  }
  return cmd;
}

std::vector<std::string> SystemFilesFor(int systemKind, char driveLetter, char separator) {
  std::vector<const char*> names;
  switch (systemKind) {
    case static_cast<int>(SystemKind::RomDos):
      names = {"IBMBIO.COM", "IBMDOS.COM"};
      break;
    case static_cast<int>(SystemKind::Dos):
      names = {"io.sys", "msdos.sys", "drvspace.bin"};
      break;
    case static_cast<int>(SystemKind::WinCE):
      names = {"BLDR"};
      break;
    default:
      break;
  }
  std::vector<std::string> files;
  files.reserve(names.size());
  for (const char* name : names) files.push_back(DriveRoot(driveLetter, separator) + name);
  return files;
}

int InstallFirmware(RestoreContext& ctx, std::string driveEntry) {
  const char letter = DriveLetter(driveEntry);
  const char sep = ctx.ports.files.Separator();
  const InstallerOutcome outcome = ctx.ports.installer.RunInstaller(InstallerCommandFor(g_nSystemKind, letter, sep));
  if (!outcome.started) {
    ctx.log.ShowSystemError(outcome.error != 0 ? outcome.error : kErrorInvalidData);
    return -1;
  }
  if (outcome.exitCode != 0) {
    ctx.log.ShowMessageBoxString(IDS_INSTALLER_FAILED, kMbOk | kMbIconExclamation);
    return -1;
  }
  // A system file the archive did not bring is passed over without a word.
  for (const std::string& file : SystemFilesFor(g_nSystemKind, letter, sep)) {
    ctx.ports.files.SetAttributes(file, kSystemFileAttributes);
  }
  return 0;
}

}  // namespace tessarin
