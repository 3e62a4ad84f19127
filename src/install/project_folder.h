// Keeping the card's project folder across a restore: saved into a fresh
// temporary folder before the card is formatted, copied back after the
// system is installed.
#pragma once

#include <string>
#include <vector>

#include "card/file_port.h"
#include "card/operation_log.h"

namespace tessarin {

// The temporary folder of the current restore, "-1" when none could be
// made, empty when nothing is saved.
extern std::string g_strSavedProjectFolder;

inline constexpr const char* kNoTempFolder = "-1";
inline constexpr const char* kProjectFolderName = "Project";
// The note that makes a saved copy complete, written last beside
// "Project" (see restore/saved_projects.h).
inline constexpr const char* kSavedNoteName = "Card.txt";

enum class BackupResult {
  Saved = 0,            // the project folder is complete in the temporary folder
  NoProjectFolder = 1,  // the card has none; nothing to keep
  NoTempFolder = -1,    // no temporary folder could be made
  CopyIncomplete = -2,  // the copy failed or left something out
  Unreadable = -3,      // whether the card has one cannot be told: its files cannot be read
  NotDurable = -4,      // the copy could not be flushed to the disk
};

// How the copy back ended.
enum class ProjectReturn {
  NothingSaved,  // no saved copy in this restore
  PutBack,       // on the card, and the saved copy removed
  NotPutBack,    // not on the card as saved; the saved copy stays
  CopyGone,      // the saved copy vanished before or while it went back
};

// The card's project folder, "e:\Project" for drive entry "[-e-]".
std::string CardProjectFolder(const std::string& driveEntry, char separator);

// True when every file and folder of original is in copy, files with the
// same size. Names compare without regard to case, as on FAT.
bool TreeCovers(const std::vector<TreeEntry>& copy, const std::vector<TreeEntry>& original);

// Makes a new folder "QV<hex>" in the temporary directory and returns its
// path, or "-1".
std::string CreateUniqueTempFolder(FilePort& files);

// Saves the card's project folder. A card whose files cannot be read is
// not taken for a card without a project folder: nothing is saved, and the
// caller decides.
BackupResult BackupProjectFolder(FilePort& files, OperationLog& log, std::string driveEntry);

// Puts the saved copy back. The temporary folder is deleted only when the
// copy back is complete; otherwise it stays and the path stays in
// g_strSavedProjectFolder.
ProjectReturn RestoreProjectFolder(FilePort& files, OperationLog& log, std::string driveEntry);

// Lets go of this restore's saved copy and deletes it (the card still
// holds the original).
void DiscardSavedCopy(FilePort& files);

// Deletes a saved copy that is no longer needed: its note first, durably.
bool RemoveSavedCopy(FilePort& files, const std::string& folder);

// The saved project's folder while one waits in the temporary directory,
// empty otherwise.
std::string SavedProjectCopy(char separator);

}  // namespace tessarin
