// The restore that runs from the command line ("/DRIVE:E") without the
// operator: no question, no log, no project folder, no success message.
#pragma once

#include <optional>
#include <string>

#include "restore/restore_context.h"

namespace tessarin {

// The drive entry named by the first "/DRIVE:" in the argument text (any
// case, anywhere), with the letter upper-cased; none when the option is
// absent. When the option ends the text the entry is "[--]".
std::optional<std::string> FindUnattendedDrive(const std::string& arguments);

// Runs the card steps in order: format, acquire, master boot record, boot
// sector, release, install. A drive the drive list would leave out is
// refused with a message before anything is touched. True when every step
// succeeded.
bool RunUnattendedRestore(RestoreContext& ctx, std::string driveEntry);

}  // namespace tessarin
