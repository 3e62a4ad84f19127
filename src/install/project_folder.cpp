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
  for (unsigned counter = 1; counter <= kLastTempNumber; ++counter) {
    if (const auto name = files.TempFileName(*tempPath, "QV", counter)) {
      candidate = *name;
      RemoveAll(candidate, ".tmp");
    }
    if (candidate.empty() || files.Exists(candidate)) continue;
    // Made new or not at all: another restore that made the same name a
    // moment ago keeps it, and this one takes the next.
    if (files.MakeDirectory(candidate)) return candidate;
    if (!files.Exists(candidate)) return kNoTempFolder;
  }
  // Every name taken: past 16 bits the naming would only repeat itself.
  return kNoTempFolder;
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
  files.HoldFolder(g_strSavedProjectFolder);

  if (!CopyComplete(files, cardProject, SavedProjectCopy(sep))) {
    // The card still holds the original: an incomplete copy is worth nothing.
    DiscardSavedCopy(files);
    return BackupResult::CopyIncomplete;
  }
  // On the disk before anything on the card changes: a power cut of the
  // PC must not leave empty files where the project was.
  if (!files.FlushTree(g_strSavedProjectFolder)) {
    DiscardSavedCopy(files);
    return BackupResult::NotDurable;
  }

  log.LogNoScroll(std::string(kInfo) + "Backing up Project Folder completed.");
  return BackupResult::Saved;
}

void DiscardSavedCopy(FilePort& files) {
  if (g_strSavedProjectFolder.empty() || g_strSavedProjectFolder == kNoTempFolder) return;
  files.ReleaseFolder(g_strSavedProjectFolder);
  files.DeleteFolderTree(g_strSavedProjectFolder, kFofSilent | kFofNoConfirmation);
  g_strSavedProjectFolder.clear();
}

bool RemoveSavedCopy(FilePort& files, const std::string& folder) {
  // The note first, and for good: a copy half deleted must never look
  // like a complete one that a card waits for.
  const bool noteGone = files.RemoveFile(folder + files.Separator() + kSavedNoteName);
  files.ReleaseFolder(folder);
  const bool deleted = files.DeleteFolderTree(folder, kFofSilent | kFofNoConfirmation);
  return noteGone && deleted;
}

ProjectReturn RestoreProjectFolder(FilePort& files, OperationLog& log, std::string driveEntry) {
  const char sep = files.Separator();
  const std::string cardProject = CardProjectFolder(driveEntry, sep);
  const std::string savedCopy = SavedProjectCopy(sep);
  if (savedCopy.empty()) return ProjectReturn::NothingSaved;
  if (!files.Exists(savedCopy)) {
    // Saved, and gone since: nothing to put back, and nothing to pretend.
    log.LogNoScroll(std::string(kError) + "The saved copy of the Project Folder in " + savedCopy +
                    " is gone; the Project Folder was not put back on the drive.");
    return ProjectReturn::CopyGone;
  }

  log.LogNoScroll(std::string(kInfo) + "Restoring Project Folder.");
  if (!CopyComplete(files, savedCopy, cardProject)) {
    // Keep the saved copy: it may be the only one left.
    log.LogNoScroll(std::string(kWarning) + "Failed to restore the Project Folder to the drive.");
    return files.Exists(savedCopy) ? ProjectReturn::NotPutBack : ProjectReturn::CopyGone;
  }
  log.LogNoScroll(std::string(kInfo) + "Restoring Project Folder Completed.");
  log.LogNoScroll(std::string(kInfo) + "Cleaning up Temp Direcotry.");
  RemoveSavedCopy(files, g_strSavedProjectFolder);
  log.LogNoScroll(std::string(kInfo) + "Cleaning up Temp Direcotry Completed.");
  g_strSavedProjectFolder.clear();
  return ProjectReturn::PutBack;
}

}  // namespace tessarin
