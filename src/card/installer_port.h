// Running the system's installer archive onto the card.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "card/failure.h"

namespace tessarin {

struct InstallerCommand {
  std::string archive;      // the archive's file name, e.g. "wincesys.exe"
  std::string commandLine;  // the whole command line, e.g. "wincesys.exe -y -oe:\"
  char driveLetter = '\0';  // the card's letter as the drive entry has it
  // The kind's system files: an installer that chooses the order of the
  // card's root folder writes them before anything else, since the boot
  // sector looks only at the folder's first entries.
  std::vector<std::string> firstFiles;
};

struct InstallerOutcome {
  bool started = false;        // false: it could not be started
  Failure error;               // why, when not started
  std::uint32_t exitCode = 0;  // its exit code once it has ended
};

class InstallerPort {
 public:
  virtual ~InstallerPort() = default;

  // Starts the installer hidden, in the current directory, and waits for
  // its end without a time limit, keeping the operator's window painted.
  virtual InstallerOutcome RunInstaller(const InstallerCommand& command) = 0;

  // After a run that ended well and the marking of the system files: true
  // when the card, read again, holds every entry the installer wrote as it
  // was written, and the system files that are there carry the marks
  // (attributes). False after the details went where the platform reports
  // them.
  virtual bool ProveInstallation(const InstallerCommand& command, const std::vector<std::string>& systemFiles,
                                 std::uint32_t attributes) = 0;
};

}  // namespace tessarin
