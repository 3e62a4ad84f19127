#include "install/project_folder.h"

#include <map>

namespace tessarin {

std::string g_strSavedProjectFolder;

namespace {

constexpr unsigned kLastTempNumber = 0xFFFF;  // the temporary-file naming keeps 16 bits

std::string FoldCase(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = ToLowerAscii(c);
  return out;
}

void RemoveAll(std::string& text, const std::string& what) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) text.erase(at, what.size());
}

bool CopyComplete(FilePort& files, const std::string& source, const std::string& target) {
  if (!files.CopyFolderTree(source, target)) return false;
  const auto original = files.ListTree(source);
  const auto copy = files.ListTree(target);
  return original && copy && TreeCovers(*copy, *original);
}

}  // namespace

std::string CardProjectFolder(const std::string& driveEntry, char separator) {
  std::string path(1, DriveLetter(driveEntry));
  path += ':';
  path += separator;
  path += kProjectFolderName;
  return path;
}

bool TreeCovers(const std::vector<TreeEntry>& copy, const std::vector<TreeEntry>& original) {
  std::map<std::string, const TreeEntry*> byName;
  for (const TreeEntry& e : copy) byName.emplace(FoldCase(e.path), &e);
  for (const TreeEntry& e : original) {
    const auto it = byName.find(FoldCase(e.path));
    if (it == byName.end() || it->second->directory != e.directory) return false;
    if (!e.directory && it->second->size != e.size) return false;
  }
  return true;
}

std::string CreateUniqueTempFolder(FilePort& files) {
  const std::optional<std::string> tempPath = files.TempPath();
  if (!tempPath) return kNoTempFolder;

  std::string candidate;
  bool free = false;
  for (unsigned counter = 1; counter <= kLastTempNumber; ++counter) {
    if (const auto name = files.TempFileName(*tempPath, "QV", counter)) {
      candidate = *name;
      RemoveAll(candidate, ".tmp");
    }
    if (!files.Exists(candidate)) {
      free = true;
      break;
    }
  }
  // Every name taken: past 16 bits the naming would only repeat itself.
  if (!free || !files.MakeDirectory(candidate)) return kNoTempFolder;
  return candidate;
}

std::string SavedProjectCopy(char separator) {
  if (g_strSavedProjectFolder.empty() || g_strSavedProjectFolder == kNoTempFolder) return {};
  return g_strSavedProjectFolder + separator + kProjectFolderName;
}

BackupResult BackupProjectFolder(FilePort& files, OperationLog& log, std::string driveEntry) {
  const char sep = files.Separator();
  log.LogNoScroll(std::string(kInfo) + "Backing up Project Folder.");
  g_strSavedProjectFolder.clear();

  const std::string cardProject = CardProjectFolder(driveEntry, sep);
  switch (files.Probe(cardProject)) {
    case PathPresence::Absent:
      log.LogNoScroll(std::string(kWarning) + "No Project Folder found on drive.");
      return BackupResult::NoProjectFolder;
    case PathPresence::Unreadable:
      log.LogNoScroll(std::string(kWarning) +
                      "The files on the drive cannot be read; the Project Folder is not saved.");
      return BackupResult::Unreadable;
    case PathPresence::Present:
      break;
  }

  g_strSavedProjectFolder = CreateUniqueTempFolder(files);
  if (g_strSavedProjectFolder == kNoTempFolder) {
    g_strSavedProjectFolder.clear();
    return BackupResult::NoTempFolder;
  }

  if (!CopyComplete(files, cardProject, SavedProjectCopy(sep))) {
    // The card still holds the original: an incomplete copy is worth nothing.
    files.DeleteFolderTree(g_strSavedProjectFolder, kFofSilent | kFofNoConfirmation);
    g_strSavedProjectFolder.clear();
    return BackupResult::CopyIncomplete;
  }

  log.LogNoScroll(std::string(kInfo) + "Backing up Project Folder completed.");
  return BackupResult::Saved;
}

int RestoreProjectFolder(FilePort& files, OperationLog& log, std::string driveEntry) {
  const char sep = files.Separator();
  const std::string cardProject = CardProjectFolder(driveEntry, sep);
  const std::string savedCopy = SavedProjectCopy(sep);
  if (savedCopy.empty() || !files.Exists(savedCopy)) return 0;

  log.LogNoScroll(std::string(kInfo) + "Restoring Project Folder.");
  if (!CopyComplete(files, savedCopy, cardProject)) {
    // Keep the saved copy: it may be the only one left.
    log.LogNoScroll(std::string(kWarning) + "Failed to restore the Project Folder to the drive.");
    return 1;
  }
  log.LogNoScroll(std::string(kInfo) + "Restoring Project Folder Completed.");
  log.LogNoScroll(std::string(kInfo) + "Cleaning up Temp Direcotry.");
  files.DeleteFolderTree(g_strSavedProjectFolder, kFofSilent | kFofNoConfirmation);
  log.LogNoScroll(std::string(kInfo) + "Cleaning up Temp Direcotry Completed.");
  g_strSavedProjectFolder.clear();
  return 1;
}

}  // namespace tessarin
