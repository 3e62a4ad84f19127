// Installing the system onto the card: the installer archive of the kind,
// run against the card's root, then the system files marked.
#pragma once

#include <string>
#include <vector>

#include "card/card_port.h"
#include "card/file_port.h"
#include "card/installer_port.h"
#include "card/operation_log.h"
#include "card/system_kinds.h"

namespace tessarin {

// Read-only, hidden, system and archive.
inline constexpr std::uint32_t kSystemFileAttributes = kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive;

// The installer and its command line for a kind; the drive letter is used
// as the drive entry has it. A kind outside the enumeration runs the DOS
// archive.
InstallerCommand InstallerCommandFor(SystemKind kind, char driveLetter, char separator);

// The system files of a kind in the order they are marked; none for a kind
// outside the enumeration.
std::vector<std::string> SystemFilesFor(SystemKind kind, char driveLetter, char separator);

// 0 when the installer ended with exit code 0, the system files were
// marked and the boot sector will find the file it starts; -1 after the
// operator was told why not. The kind is the process-wide one
// (g_nSystemKind). The card is read, not held: the installer has written
// through the file system, which is asked to put everything on the card
// before the root folder is read.
int InstallFirmware(InstallerPort& installer, FilePort& files, CardPort& card, OperationLog& log, SystemKind kind,
                    std::string driveEntry);

}  // namespace tessarin
