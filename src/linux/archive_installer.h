// Installing the system from its installer archive: a self-extracting
// archive (an executable stub followed by a zip or 7-Zip archive) whose
// files are unpacked with libarchive and written into the card's root with
// one mtools call, without mounting the card.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "card/installer_port.h"
#include "linux/card_volume.h"
#include "linux/step_progress.h"

namespace tessarin::linux_port {

// Exit codes of an installation that did not complete.
inline constexpr std::uint32_t kArchiveUnreadable = 1;
inline constexpr std::uint32_t kArchiveUnsafe = 3;

struct Extraction {
  bool ok = false;
  std::uint32_t exitCode = 0;         // when not ok
  std::string error;                  // when not ok
  std::vector<std::string> topLevel;  // names in the root, in archive order
  std::size_t entries = 0;
};

// Unpacks the archive into the folder (which must exist). Entries that
// would land outside it (absolute paths, "..", links) make it fail.
Extraction ExtractArchive(const std::string& archive, const std::string& folder,
                          const std::function<void(std::size_t entries, std::uint64_t bytes)>& onEntry = {});

class ArchiveInstaller final : public InstallerPort {
 public:
  ArchiveInstaller(const CardVolume& card, StepProgress& progress, std::function<void(const std::string&)> diagnostic)
      : card_(card), progress_(progress), diagnostic_(std::move(diagnostic)) {}

  InstallerOutcome RunInstaller(const InstallerCommand& command) override;

 private:
  const CardVolume& card_;
  StepProgress& progress_;
  std::function<void(const std::string&)> diagnostic_;
};

// The names in their order, those that are one of first (compared as the
// Windows file system compares names) moved to the front in first's order.
std::vector<std::string> FirstFilesFirst(const std::vector<std::string>& names, const std::vector<std::string>& first);

// The name of the working directory's entry (file or folder) that is the
// given name to the Windows file system, which compares names without
// regard to case: the name itself when it exists as given, else the first
// entry that differs only in case; none when there is no such entry.
std::optional<std::string> WorkingDirectoryEntry(const std::string& name);

}  // namespace tessarin::linux_port
