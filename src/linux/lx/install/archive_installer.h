// Installing the system from its installer archive: a self-extracting
// archive (an executable stub followed by a zip or 7-Zip archive) whose
// entries libarchive streams straight into the card's FAT volume, without
// unpacking them anywhere first.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "card/installer_port.h"
#include "lx/card/card_fat.h"
#include "lx/install/card_proof.h"
#include "lx/support/step_progress.h"

namespace tessarin::linux_port {

// Exit codes of an installation that did not complete.
inline constexpr std::uint32_t kArchiveUnreadable = 1;
inline constexpr std::uint32_t kArchiveUnsafe = 3;
inline constexpr std::uint32_t kArchiveDoesNotFit = 4;

// An archive's entries as the card will hold them, read before anything is
// written.
struct ArchivePlan {
  bool ok = false;
  std::uint32_t exitCode = 0;         // when not ok
  std::vector<std::string> problems;  // when not ok: one line per entry, or why the archive cannot be read
  std::uint64_t fileBytes = 0;
  std::size_t files = 0;
  std::vector<std::uint64_t> sizes;  // of the files, for the space they take
  std::vector<std::string> names;    // of the files, as the card names them, in archive order
  std::size_t folders = 0;
};

// Reads every entry's header: only plain files and folders named inside
// the card, names FAT can hold and that do not clash with another entry's
// without regard to case, files below 4 GiB.
ArchivePlan PlanArchive(const std::string& archive);

class ArchiveInstaller final : public InstallerPort {
 public:
  ArchiveInstaller(const CardFat& card, StepProgress& progress, std::function<void(const std::string&)> diagnostic)
      : card_(card), progress_(progress), diagnostic_(std::move(diagnostic)) {}

  InstallerOutcome RunInstaller(const InstallerCommand& command) override;
  // Reads the card again past the kernel's cache and compares every entry
  // the last run wrote (name, size, contents) and the marks of the system
  // files the archive brought; what differs goes to the diagnostics.
  bool ProveInstallation(const InstallerCommand& command, const std::vector<std::string>& systemFiles,
                         std::uint32_t attributes) override;

 private:
  void Diagnose(const std::string& text) const {
    if (diagnostic_) diagnostic_(text);
  }
  // Writes the planned entries onto the card; false, with exitCode set
  // when the archive is to blame, when it could not.
  bool WriteOntoTheCard(const InstallerCommand& command, const std::string& archive, const ArchivePlan& plan,
                        std::uint32_t& exitCode);

  const CardFat& card_;
  StepProgress& progress_;
  std::function<void(const std::string&)> diagnostic_;
  // What the last run wrote, by the name FAT compares (a later entry of the
  // same name replaces an earlier one on the card, and here).
  std::map<std::string, WrittenEntry> written_;
};

// True when the card name (as the archive's entries are named on the card,
// "a/b") is a file of the root folder named as one of first, compared as
// the Windows file system compares names.
bool IsOneOfFirstFiles(const std::string& cardName, const std::vector<std::string>& first);

// True when the archive lists some other entry before one of the first
// files: the installer then writes those in a pass of their own before
// everything else, since the boot sector looks only at the root folder's
// first entries.
bool FirstFilesComeLate(const std::vector<std::string>& cardNames, const std::vector<std::string>& first);

// The name of the working directory's entry (file or folder) that is the
// given name to the Windows file system, which compares names without
// regard to case: the name itself when it exists as given, else the first
// entry that differs only in case; none when there is no such entry.
std::optional<std::string> WorkingDirectoryEntry(const std::string& name);

}  // namespace tessarin::linux_port
