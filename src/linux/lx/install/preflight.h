// Everything about the card and the installer archive that can be checked
// before the card is touched, checked before the operator is asked: a
// refusal here leaves the card exactly as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "card/file_port.h"
#include "card/system_kinds.h"
#include "lx/card/card_target.h"

namespace tessarin::linux_port {

class CardFat;

// One entry of the installer archive as it will land on the card.
struct ArchiveItem {
  std::string path;  // relative to the card's root, '/'-separated, no leading "./"
  bool directory = false;
  std::uint64_t size = 0;
};

// The archive read through once, every entry's data included (a damaged
// entry shows only there). problem is empty when every entry can go onto
// the card as it stands.
struct ArchiveReport {
  std::string problem;
  std::vector<ArchiveItem> items;
};
ArchiveReport CheckInstallerArchive(const std::string& path);

// Why a name of the archive cannot become a card path: "..", absolute
// paths, backslashes, characters or lengths a FAT long name cannot hold,
// names Windows would change (a trailing dot or blank). Empty when it can.
std::string WhyNameUnfitForCard(std::string_view name);

// Why one archive entry cannot go onto the card: its name (as above), its
// kind (only plain files and folders; no links, devices, pipes) or a size
// of 4 GiB or more. Empty when it can.
enum class EntryKind { File, Folder, HardLink, SymbolicLink, Other };
std::string WhyEntryUnfitForCard(std::string_view name, EntryKind kind, std::uint64_t size);

// Directory slots of a FAT folder; the root of FAT32 is a folder like any
// other, so it has as many.
inline constexpr std::uint32_t kFolderSlots = 65536;

// The slots a name takes in its folder: its short entry, and the entries
// of its long name (13 UTF-16 units each) unless the short entry alone
// shows the name (an 8.3 name whose case the case byte can tell).
std::uint32_t DirectorySlots(std::string_view name);

// A folder of the archive whose entries take more slots than a FAT folder
// has: "." and ".." in every folder but the root, the volume label in the
// root. path is "" for the root.
struct CrowdedFolder {
  std::string path;
  std::uint64_t slots = 0;
};
std::optional<CrowdedFolder> FindCrowdedFolder(const std::vector<ArchiveItem>& items);

// Two entries whose names differ only in case (FAT keeps one of them), or
// a file and a folder of the same name; empty when there are none.
std::string FindNameClash(const std::vector<ArchiveItem>& items);

// The FAT32 volume mkfs.fat makes on a partition of this many sectors:
// its cluster size and, a little generously, its number of data clusters.
struct Fat32Estimate {
  std::uint32_t clusterBytes = 512;
  std::uint64_t dataClusters = 0;
};
Fat32Estimate EstimateFat32(std::uint64_t volumeSectors);

// The clusters the archive's files and folders take on such a volume.
std::uint64_t ClustersNeeded(const std::vector<ArchiveItem>& items, std::uint32_t clusterBytes);

// Whether the card holds a project folder, as far as can be told.
enum class ProjectPresence { Present, Absent, Undecided };
struct ProjectProbe {
  ProjectPresence presence = ProjectPresence::Undecided;
  std::string why;  // when undecided: what could not be read
};

struct PreflightOptions {
  const CardTarget* target = nullptr;
  int fd = -1;  // the held card
  SystemKind systemKind = SystemKind::WinCE;
  std::string archive;  // the installer archive, in the working directory
  bool preserveProject = true;
  const CardFat* volume = nullptr;  // reads the card's files
  FilePort* files = nullptr;        // finds the project folders saved earlier
  std::string saveFolder;           // where saved project folders go
  std::string putBackCopy;          // a saved copy the operator names to put back (--put-back)
  std::string given;                // the TARGET as given, for the commands the messages show
  // The card definition file's verdict for a card of this capacity that
  // needs a geometry repair: empty when a definition matches, else why not.
  std::function<std::string(double capacity)> definitionsFor;
};

// Every check in turn; empty when the card may be restored, else the
// refusal to show (the card untouched). notice gets what the operator
// should know before the question, when there is something.
std::string RunPreflight(const PreflightOptions& options, std::string* notice = nullptr);

// The project folder's presence on the card.
ProjectProbe ProbeProject(const CardFat& volume);

// What the file system of the folder that takes a saved copy allows, and
// how long the local path of the copy's Project folder is there.
struct SaveLimits {
  std::size_t nameMax = 255;   // bytes of one name
  std::size_t pathMax = 4096;  // bytes of a path, its terminating NUL included
  // "<save folder>/<copy's folder>/Project/", with the longest name a
  // copy's folder gets.
  std::size_t prefixBytes = 0;
};
SaveLimits SaveLimitsFor(const std::string& saveFolder);

// Why the Project folder's entry at path (relative to the Project folder,
// '/'-separated, name its last component as the card has it) cannot become
// a local file below the save folder: an unsafe name, a name or a path
// longer than the limits. Empty when it can.
std::string WhyProjectEntryCannotBeSaved(const std::string& path, std::string_view name, const SaveLimits& limits);

// Why the card's e:/Project cannot be saved into saveFolder: every folder
// of it read, every file's data read along its cluster chain, every name
// and path checked against the save folder's file system. Empty when it
// can be saved, or when the card holds no Project folder. The text is a
// refusal for before the question (the caller's refusal adds that
// nothing was changed); it suggests --no-preserve.
std::string CheckProjectTree(const CardFat& volume, const std::string& saveFolder);

// The geometry heads mkfs.fat will record: the card reader's for a block
// device, the recorded one for an image (as the formatter keeps it); none
// when it cannot be known before formatting.
std::optional<unsigned> PredictedHeads(int fd, const CardTarget& target);

}  // namespace tessarin::linux_port
