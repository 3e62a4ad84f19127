// Installing the system onto the card: the installer archive of the kind,
// run against the card's root, then the system files marked.
#pragma once

#include <string>
#include <vector>

#include "restore/restore_context.h"

namespace tessarin {

// Read-only, hidden, system and archive.
inline constexpr std::uint32_t kSystemFileAttributes =
    kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive;

// The installer and its command line for a kind; the drive letter is used
// as the drive entry has it. Kinds outside 1 to 3 run the DOS archive.
InstallerCommand InstallerCommandFor(int systemKind, char driveLetter, char separator);

// The system files of a kind in the order they are marked; none for kinds
// outside 1 to 3.
std::vector<std::string> SystemFilesFor(int systemKind, char driveLetter, char separator);

// 0 when the installer ended with exit code 0 and the system files were
// marked; -1 after the operator was told why not.
int InstallFirmware(RestoreContext& ctx, std::string driveEntry);

}  // namespace tessarin
