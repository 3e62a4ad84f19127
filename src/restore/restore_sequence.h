// The restore sequence behind the "&Restore SD-Card" button.
#pragma once

#include "restore/restore_context.h"

namespace tessarin {

enum class RestoreResult {
  Completed,           // the system is on the card, and the project folder back on it
  ProjectNotRestored,  // the system is on the card; the project waits in the temporary folder
  NoDrive,             // no drive chosen; nothing done
  Declined,            // the operator answered No; nothing done
  Failed,              // stopped at a failed step
  Refused,             // stopped before the card was changed: write-protected, or its files
                       // unreadable and the operator chose not to lose them
};

// Runs the whole restore on the calling thread (the worker thread of the
// dialog): exchange, confirmation, backup, formatting, boot records,
// installation and the project folder's return.
RestoreResult RestoreWorker(RestoreContext& ctx);

// The fixed texts the sequence shows in its own boxes.
inline constexpr const char* kLockFailedBox = "Failed to Lock the Volume.";
inline constexpr const char* kFormatFailedBox = "Failed to Format the Drive.";
inline constexpr const char* kBackupFailedBox =
    "Failed to back up the Project Folder.\n\nThe drive has not been changed.";

}  // namespace tessarin
