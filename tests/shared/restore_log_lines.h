// The card steps' log lines of a complete restore, in order, as the
// operator reads them (time stamps left off). Both the unit suite and the
// Linux program's end-to-end suite hold the restore to them.
#pragma once

#include <string>
#include <vector>

namespace tessarin::test {

inline const std::vector<std::string> kCardStepLines = {
    "::Info:: Forcing Lock on Volume.",
    "::Info:: Forcing Lock on Volume Completed.",
    "::Info:: Removing Lock on Volume.",
    "::Info:: Removeing Lock on Volume Completed.",
    "::Info:: Formatting Started.",
    "::Info:: Formatting Completed.",
    "::Info:: Locking Volume.",
    "::Info:: Locking Volume Completed.",
    "::Info:: Installing Master Boot Record.",
    "::Info:: Installing Master Boot Record Completed.",
    "::Info:: Installing BootSector.",
    "::Info:: Installing BootSector Completed.",
    "::Info:: Unlocking Volume.",
    "::Info:: Unlocking Volume Completed.",
    "::Info:: Installing Firmware... Please wait.",
    "::Info:: Installing Firmware Completed",
};

}  // namespace tessarin::test
