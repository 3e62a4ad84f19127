#include "lx/install/preflight.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "boot/compose.h"
#include "card/card_types.h"
#include "card/entry_names.h"
#include "fat/fat_names.h"
#include "install/project_folder.h"
#include "lx/card/card_fat.h"
#include "lx/card/card_format.h"
#include "lx/support/terminal_text.h"
#include "restore/saved_projects.h"

namespace tessarin::linux_port {
namespace {

constexpr std::uint64_t kMaxFatFileSize = 0xFFFFFFFFull;  // 4 GiB less one byte

// The components of a relative path, without empty and "." ones.
std::vector<std::string> Components(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  return parts;
}

std::string Join(const std::vector<std::string>& parts, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += (i ? "/" : "") + parts[i];
  return out;
}

// The longest name the restore gives the folder of a saved copy ("QV" and
// a number), with room to spare.
constexpr std::size_t kCopyFolderNameBytes = 16;

// Reads a file's data and keeps none of it.
class DiscardSink final : public fat::ByteSink {
 public:
  Failure Write(const std::uint8_t*, std::size_t) override { return {}; }
};

std::string Thousands(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Megabytes(std::uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

}  // namespace

std::string WhyNameUnfitForCard(std::string_view name) {
  if (name.empty()) return "an entry without a name";
  if (name.front() == '/') return "an absolute path";
  if (name.find('\\') != std::string_view::npos) return "a backslash in the name";
  const std::vector<std::string> parts = Components(name);
  if (parts.empty()) return {};
  for (const std::string& part : parts) {
    if (part == "..") return "a path out of the card's root (\"..\")";
    // The FAT layer's own rules: what it would refuse to write.
    switch (fat::CheckLongName(part)) {
      case fat::NameProblem::None:
        break;
      case fat::NameProblem::BadEncoding:
        return "a name that is not valid UTF-8";
      case fat::NameProblem::TooLong:
        return "a name longer than 255 characters";
      case fat::NameProblem::TrailingDotOrBlank:
        return "a name that ends with a dot or a blank";
      case fat::NameProblem::ForbiddenCharacter: {
        const auto bad = std::find_if(part.begin(), part.end(), [](char c) {
          const auto u = static_cast<unsigned char>(c);
          return u < 0x20 || u == 0x7F || std::strchr("\"*:<>?|", c) != nullptr;
        });
        if (bad == part.end() || static_cast<unsigned char>(*bad) < 0x20 || *bad == 0x7F)
          return "a control character in the name";
        return std::string("a character FAT names cannot hold ('") + *bad + "')";
      }
      case fat::NameProblem::Empty:
      case fat::NameProblem::DotName:
        return std::string("a name FAT cannot hold (") + fat::Describe(fat::CheckLongName(part)) + ")";
    }
  }
  return {};
}

std::string WhyEntryUnfitForCard(std::string_view name, EntryKind kind, std::uint64_t size) {
  if (std::string why = WhyNameUnfitForCard(name); !why.empty()) return why;
  switch (kind) {
    case EntryKind::HardLink:
      return "a hard link";
    case EntryKind::SymbolicLink:
      return "a symbolic link";
    case EntryKind::Other:
      return "a device, pipe or socket";
    case EntryKind::File:
      if (size > kMaxFatFileSize) return "a file of 4 GiB or more, larger than FAT can hold";
      break;
    case EntryKind::Folder:
      break;
  }
  return {};
}

std::string FindNameClash(const std::vector<ArchiveItem>& items) {
  struct Seen {
    std::string spelling;
    bool directory;
  };
  std::map<std::string, Seen> byFolded;
  auto note = [&](const std::string& path, bool directory) -> std::string {
    const auto [it, added] = byFolded.emplace(fat::FoldName(path), Seen{path, directory});
    if (added) return {};
    if (it->second.spelling != path)
      return "two names that differ only in case: \"" + it->second.spelling + "\" and \"" + path + "\"";
    if (it->second.directory != directory) return "a file and a folder of the same name: \"" + path + "\"";
    return {};
  };
  for (const ArchiveItem& item : items) {
    const std::vector<std::string> parts = Components(item.path);
    for (std::size_t n = 1; n <= parts.size(); ++n) {
      const bool folder = n < parts.size() || item.directory;
      if (std::string clash = note(Join(parts, n), folder); !clash.empty()) return clash;
    }
  }
  return {};
}

std::uint32_t DirectorySlots(std::string_view name) {
  const auto wide = fat::Utf8ToUtf16(name);
  // A name FAT cannot hold is refused on its own; counted at its longest.
  const std::size_t units = wide ? wide->size() : fat::kMaxLongNameUnits;
  if (wide && !wide->empty()) {
    const fat::Basis basis = fat::MakeBasis(*wide);
    if (basis.fits && basis.caseFlagsOk) return 1;
  }
  return static_cast<std::uint32_t>(1 + (units + 12) / 13);
}

std::optional<CrowdedFolder> FindCrowdedFolder(const std::vector<ArchiveItem>& items) {
  struct Folder {
    std::string spelling;
    std::uint64_t slots = 0;
  };
  // By folded path: the card keeps one entry per name up to case. The root
  // holds the volume label, every other folder "." and "..".
  std::map<std::string, Folder> folders{{"", {"", 1}}};
  std::set<std::string> placed;
  for (const ArchiveItem& item : items) {
    const std::vector<std::string> parts = Components(item.path);
    std::string parentKey;
    for (std::size_t n = 1; n <= parts.size(); ++n) {
      const std::string path = Join(parts, n);
      const std::string key = fat::FoldName(path);
      if (placed.insert(key).second) {
        folders[parentKey].slots += DirectorySlots(parts[n - 1]);
        if (n < parts.size() || item.directory) folders.emplace(key, Folder{path, 2});
      }
      parentKey = key;
    }
  }
  for (const auto& [key, folder] : folders)
    if (folder.slots > kFolderSlots) return CrowdedFolder{folder.spelling, folder.slots};
  return std::nullopt;
}

Fat32Estimate EstimateFat32(std::uint64_t volumeSectors) {
  // The formatter's cluster sizes for FAT32, by volume size.
  Fat32Estimate e;
  std::uint32_t perCluster = 64;
  if (volumeSectors <= 532480)
    perCluster = 1;
  else if (volumeSectors <= 16777216)
    perCluster = 8;
  else if (volumeSectors <= 33554432)
    perCluster = 16;
  else if (volumeSectors <= 67108864)
    perCluster = 32;
  e.clusterBytes = perCluster * 512;
  const std::uint64_t reserved = 32;
  if (volumeSectors <= reserved) return e;
  // Each cluster costs its sectors and two FAT entries of four bytes.
  e.dataClusters = (volumeSectors - reserved) * 512 / (std::uint64_t{perCluster} * 512 + 8);
  return e;
}

std::uint64_t ClustersNeeded(const std::vector<ArchiveItem>& items, std::uint32_t clusterBytes) {
  if (clusterBytes == 0) return 0;
  const auto clustersOf = [clusterBytes](std::uint64_t bytes) { return (bytes + clusterBytes - 1) / clusterBytes; };
  // Directory entry bytes per folder: a short entry and the long name's
  // entries for each name; "." and ".." in every folder but the root, the
  // volume label in the root.
  std::map<std::string, std::uint64_t> folderBytes{{"", 32}};
  std::set<std::string> placed;
  std::uint64_t clusters = 0;
  for (const ArchiveItem& item : items) {
    const std::vector<std::string> parts = Components(item.path);
    for (std::size_t n = 1; n <= parts.size(); ++n) {
      const std::string path = Join(parts, n);
      if (!placed.insert(fat::FoldName(path)).second) continue;
      const auto wide = fat::Utf8ToUtf16(parts[n - 1]);
      const std::size_t units = wide ? wide->size() : fat::kMaxLongNameUnits;
      folderBytes[Join(parts, n - 1)] += 32 * (1 + (units + 12) / 13);
      if (n < parts.size() || item.directory) folderBytes.emplace(path, 64);
    }
    if (!item.directory) clusters += clustersOf(item.size);
  }
  for (const auto& [folder, bytes] : folderBytes) clusters += std::max<std::uint64_t>(1, clustersOf(bytes));
  return clusters;
}

namespace {

std::string ArchiveProblem(archive* in, const std::string& what) {
  const char* why = archive_error_string(in);
  return what + (why != nullptr ? std::string(": ") + why : std::string());
}

EntryKind KindOf(archive_entry* entry) {
  const auto type = archive_entry_filetype(entry);
  return archive_entry_hardlink(entry) != nullptr ? EntryKind::HardLink
         : type == AE_IFREG                       ? EntryKind::File
         : type == AE_IFDIR                       ? EntryKind::Folder
         : type == AE_IFLNK                       ? EntryKind::SymbolicLink
                                                  : EntryKind::Other;
}

// A file entry's data read whole, which is where a damaged entry shows:
// its size into the item, or why it cannot go onto the card.
std::string ReadEntryData(archive* in, archive_entry* entry, const std::string& name, ArchiveItem& item) {
  const void* block = nullptr;
  size_t size = 0;
  la_int64_t offset = 0;
  int r = ARCHIVE_OK;
  std::uint64_t end = 0;
  while ((r = archive_read_data_block(in, &block, &size, &offset)) == ARCHIVE_OK)
    end = std::max<std::uint64_t>(end, static_cast<std::uint64_t>(offset) + size);
  if (r != ARCHIVE_EOF) return ArchiveProblem(in, "its entry " + EscapeForTerminal(name) + " is damaged");
  item.size = archive_entry_size_is_set(entry) ? static_cast<std::uint64_t>(archive_entry_size(entry)) : end;
  if (item.size > kMaxFatFileSize)
    return "it holds a file of 4 GiB or more, larger than FAT can hold: " + EscapeForTerminal(name);
  return {};
}

// Every entry of the archive, each fit for the card and readable, into
// the report's items; the first problem ends the reading.
void ReadEntries(archive* in, ArchiveReport& report) {
  std::size_t files = 0;
  archive_entry* entry = nullptr;
  for (;;) {
    const int rc = archive_read_next_header(in, &entry);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN) {
      report.problem = ArchiveProblem(in, "it is damaged");
      break;
    }
    const char* rawName = archive_entry_pathname(entry);
    std::string name = rawName != nullptr ? rawName : "";
    const std::uint64_t declared =
        archive_entry_size_is_set(entry) ? static_cast<std::uint64_t>(archive_entry_size(entry)) : 0;
    if (const std::string why = WhyEntryUnfitForCard(name, KindOf(entry), declared); !why.empty()) {
      report.problem = "it holds an entry that cannot go onto the card, " + why + ": " + EscapeForTerminal(name);
      break;
    }
    while (name.rfind("./", 0) == 0) name.erase(0, 2);
    while (!name.empty() && name.back() == '/') name.pop_back();
    if (name.empty() || name == ".") continue;
    ArchiveItem item{name, archive_entry_filetype(entry) == AE_IFDIR, 0};
    if (!item.directory) {
      report.problem = ReadEntryData(in, entry, name, item);
      if (!report.problem.empty()) break;
      ++files;
    }
    report.items.push_back(std::move(item));
  }
  if (report.problem.empty() && files == 0) report.problem = "it holds no files";
}

// Why the entries, each fit for the card, do not fit together: two names
// FAT takes for one, a folder with more entries than FAT allows.
std::string WhyItemsDoNotFit(const std::vector<ArchiveItem>& items) {
  if (std::string clash = FindNameClash(items); !clash.empty())
    return "it holds " + EscapeForTerminal(clash) + "; a FAT card keeps only one of them";
  if (const auto crowded = FindCrowdedFolder(items))
    return "its " +
           (crowded->path.empty() ? std::string("root folder") : "folder " + EscapeForTerminal(crowded->path)) +
           " holds more entries than a FAT folder can: they take " + Thousands(crowded->slots) +
           " directory entries, a FAT folder has " + Thousands(kFolderSlots);
  return {};
}

}  // namespace

ArchiveReport CheckInstallerArchive(const std::string& path) {
  ArchiveReport report;
  archive* in = archive_read_new();
  archive_read_support_filter_all(in);
  archive_read_support_format_zip_seekable(in);
  archive_read_support_format_7zip(in);
  // Opened once: what is checked is what the descriptor reads.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    report.problem = std::string("it cannot be opened: ") + std::strerror(errno);
    archive_read_free(in);
    return report;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    report.problem = S_ISDIR(st.st_mode) ? "it is a folder, not an archive" : "it is no plain file";
  } else if (archive_read_open_fd(in, fd, 1 << 20) != ARCHIVE_OK) {
    report.problem = ArchiveProblem(in, "it cannot be read as an installer archive");
  } else {
    ReadEntries(in, report);
  }
  archive_read_free(in);
  close(fd);
  if (report.problem.empty()) report.problem = WhyItemsDoNotFit(report.items);
  return report;
}

std::optional<unsigned> PredictedHeads(int fd, const CardTarget& target) {
  if (target.blockDevice) {
    hd_geometry geometry{};
    if (ioctl(fd, HDIO_GETGEO, &geometry) == 0 && geometry.heads != 0 && geometry.sectors != 0) return geometry.heads;
    return std::nullopt;
  }
  std::uint8_t sector[512];
  if (pread(fd, sector, sizeof sector, static_cast<off_t>(target.VolumeOffset())) != sizeof sector) return std::nullopt;
  if (const auto g = RecordedGeometry(sector)) return g->heads;
  return std::nullopt;
}

ProjectProbe ProbeProject(const CardFat& volume) {
  ProjectProbe probe;
  switch (volume.Probe(std::string(1, volume.letter()) + ":/Project", &probe.why)) {
    case PathPresence::Present:
      probe.presence = ProjectPresence::Present;
      break;
    case PathPresence::Absent:
      probe.presence = ProjectPresence::Absent;
      break;
    case PathPresence::Unreadable:
      break;
  }
  return probe;
}

SaveLimits SaveLimitsFor(const std::string& saveFolder) {
  SaveLimits limits;
  errno = 0;
  const long nameMax = pathconf(saveFolder.c_str(), _PC_NAME_MAX);
  if (nameMax > 0)
    limits.nameMax = static_cast<std::size_t>(nameMax);
  else if (nameMax < 0 && errno == 0)
    limits.nameMax = SIZE_MAX;  // the file system sets no limit
  limits.pathMax = PATH_MAX;
  std::string folder = saveFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  limits.prefixBytes = folder.size() + 1 + kCopyFolderNameBytes + 1 + std::strlen(kProjectFolderName) + 1;
  return limits;
}

std::string WhyProjectEntryCannotBeSaved(const std::string& path, std::string_view name, const SaveLimits& limits) {
  const std::string entry = std::string(kProjectFolderName) + "/" + EscapeName(path);
  if (std::string why = WhyNameUnsafe(name); !why.empty()) return why + ": " + entry;
  if (name.size() > limits.nameMax)
    return "a name of " + std::to_string(name.size()) + " bytes, longer than the " + std::to_string(limits.nameMax) +
           " bytes a name may have in the folder the copy goes to: " + entry;
  if (limits.prefixBytes + path.size() + 1 > limits.pathMax)
    return "a path of " + std::to_string(limits.prefixBytes + path.size()) + " bytes in the folder the copy goes to, " +
           "longer than the " + std::to_string(limits.pathMax - 1) + " bytes a path may have: " + entry;
  return {};
}

std::string CheckProjectTree(const CardFat& volume, const std::string& saveFolder) {
  const std::string project = kProjectFolderName;
  auto refusal = [](const std::string& why) {
    return "the card's Project folder cannot be saved: " + why +
           ". To restore the card anyway, and lose whatever its Project folder holds, run again with --no-preserve.";
  };
  CardSession session = volume.Open(false);
  // A card never formatted holds nothing to save.
  if (session.status.fault == fat::Fault::Blank) return {};
  if (!session.volume) return refusal("the card's files cannot be read (" + session.why + ")");
  const fat::Result<fat::Entry> found = session.volume->Find(project);
  if (found.status.fault == fat::Fault::NotFound) return {};
  if (!found.ok()) return refusal("it cannot be read (" + Explain(found.status) + ")");
  if (!found.value.IsFolder())
    return refusal(std::string(1, volume.letter()) + ":/" + project + " is a file, not a folder");

  const SaveLimits limits = SaveLimitsFor(saveFolder);
  std::string problem;
  std::string lastFolder;  // a folder the walk entered last: where it stops when one cannot be read
  const fat::Status walked = session.volume->Walk(project, [&](const std::string& path, const fat::Entry& e) {
    problem = WhyProjectEntryCannotBeSaved(path, e.name, limits);
    if (!problem.empty()) return false;
    if (e.IsFolder()) {
      lastFolder = path;
      return true;
    }
    DiscardSink sink;
    if (const fat::Status read = session.volume->ReadFile(e, sink); !read) {
      problem = "its file " + project + "/" + EscapeName(path) + " cannot be read (" + Explain(read) + ")";
      return false;
    }
    return true;
  });
  if (!problem.empty()) return refusal(problem);
  if (!walked)
    return refusal("its folder " + project + (lastFolder.empty() ? "" : "/" + EscapeName(lastFolder)) +
                   " cannot be read (" + Explain(walked) + ")");
  return {};
}

namespace {

std::string PutBackCommand(const PreflightOptions& o, const std::string& folder) {
  return "tessarin --put-back " + ShellQuoted(folder) + " " + ShellQuoted(o.given.empty() ? o.target->path : o.given);
}

// The saved copies that wait, matched to this card: the one whose mark it
// carries goes back whatever the card holds now; one the operator names
// goes back instead of the card's own; otherwise the card's project folder
// must be there to save whole, or absent.
std::string CheckProjectPreservation(const PreflightOptions& o, std::string* notice) {
  const CardTarget& target = *o.target;
  std::string said;
  auto tell = [&said](const std::string& line) { said += (said.empty() ? "" : "\n") + line; };
  struct Told {
    std::string& said;
    std::string* notice;
    ~Told() {
      if (notice != nullptr) *notice = said;
    }
  } told{said, notice};

  std::uint8_t mbr[512], vbr[512];
  std::optional<CardIdentity> card;
  if (pread(o.fd, mbr, sizeof mbr, 0) == sizeof mbr &&
      pread(o.fd, vbr, sizeof vbr, static_cast<off_t>(target.VolumeOffset())) == sizeof vbr)
    card = IdentifyCard(mbr, vbr, target.path);
  WaitingChoice choice;
  bool listed = true;
  if (o.files != nullptr) {
    std::vector<std::string> ignored;
    const std::vector<WaitingCopy> waiting = FindWaitingCopies(*o.files, &listed, &ignored);
    for (const std::string& line : ignored) tell("not taken for a saved Project folder: " + EscapeForTerminal(line));
    if (card) choice = ChooseWaitingCopies(waiting, *card);
    if (!o.putBackCopy.empty()) {
      const auto named =
          std::find_if(waiting.begin(), waiting.end(), [&](const WaitingCopy& c) { return c.folder == o.putBackCopy; });
      if (named == waiting.end())
        return EscapeForTerminal(o.putBackCopy) + " is not a complete saved Project folder of this user in " +
               EscapeForTerminal(o.saveFolder) + "; nothing was changed.";
      if (const std::string why = WhyCopyUnfit(*o.files, *named); !why.empty())
        return "the saved Project folder " + EscapeForTerminal(o.putBackCopy) + " cannot be put back: " + why +
               "; it is kept there, and nothing was changed.";
      tell("the saved Project folder " + EscapeForTerminal(named->folder) + " (" + named->note.savedAt +
           ") goes onto the card instead of the card's own.");
      return {};
    }
  }
  if (choice.thisCard) {
    // The card carries the mark of a copy whose restore did not finish:
    // that copy is its project, whatever the card holds now.
    const std::string where = EscapeForTerminal(WaitingProject(*choice.thisCard, '/'));
    if (const std::string why = WhyCopyUnfit(*o.files, *choice.thisCard); !why.empty())
      return "the Project folder saved from this card by an earlier restore (" + choice.thisCard->note.savedAt +
             ", in " + where + ") cannot be put back: " + why +
             ". It is kept there. Nothing was changed; to restore the card without it, run again with "
             "--no-preserve.";
    tell("the Project folder saved from this card by an earlier restore (" + choice.thisCard->note.savedAt + ", in " +
         where + ") goes back onto it.");
    return {};
  }
  const ProjectProbe probe = ProbeProject(*o.volume);
  switch (probe.presence) {
    case ProjectPresence::Undecided:
      return "the card's files cannot be read (" + EscapeForTerminal(probe.why) +
             "), so its Project folder cannot be saved. To restore the card anyway, and lose whatever its "
             "Project folder holds, run again with --no-preserve.";
    case ProjectPresence::Present:
      if (std::string why = CheckProjectTree(*o.volume, o.saveFolder); !why.empty()) return why;
      break;
    case ProjectPresence::Absent:
      if (!listed)
        return "the card holds no Project folder, and whether a copy saved from it waits in " +
               EscapeForTerminal(o.saveFolder) +
               " cannot be told: that folder cannot be listed. Nothing was changed; --no-preserve restores the "
               "card all the same.";
      break;
  }
  for (const WaitingCopy& copy : choice.maybeThisCard)
    tell("a Project folder saved from a card that looked like this one (" + copy.note.savedAt + ") waits in " +
         EscapeForTerminal(WaitingProject(copy, '/')) +
         "; this card does not carry its mark, so it is not put back by itself. To put it on this card: " +
         PutBackCommand(o, copy.folder));
  return {};
}

}  // namespace

std::string RunPreflight(const PreflightOptions& o, std::string* notice) {
  const CardTarget& target = *o.target;

  // The formatter: the card is not worth asking about when it cannot be
  // formatted.
  if (!FindFormatter()) return kNoFormatter;

  // The installer archive: there, readable, whole, and every entry fit for
  // the card.
  const ArchiveReport archive = CheckInstallerArchive(o.archive);
  if (!archive.problem.empty())
    return "the installer archive " + EscapeForTerminal(o.archive) + " cannot be installed: " + archive.problem + ".";

  // mkfs.fat makes the volume of the partition's whole 1 KiB blocks.
  const std::uint64_t volumeSectors = std::uint64_t{target.partitionSectors} / 2 * 2;
  const double capacity = static_cast<double>(volumeSectors) * 512;
  if (CheckSizeWindow(o.systemKind, capacity) == SizeCheck::Outside)
    return "Tessarin only supports disk sizes between 64MB and 4GB. The card's first partition holds " +
           Megabytes(volumeSectors * 512) + ".";

  if (const auto heads = PredictedHeads(o.fd, target); heads && *heads > kMaxHeads && o.definitionsFor) {
    if (std::string why = o.definitionsFor(capacity); !why.empty())
      return "the card reports " + std::to_string(*heads) +
             " heads, more than the panel's BIOS can use, and its geometry cannot be repaired: " + why;
  }

  const Fat32Estimate fat = EstimateFat32(volumeSectors);
  const std::uint64_t needed = ClustersNeeded(archive.items, fat.clusterBytes);
  if (needed > fat.dataClusters)
    return "the system does not fit on the card: its files take about " + Megabytes(needed * fat.clusterBytes) +
           ", the card's first partition holds " + Megabytes(fat.dataClusters * fat.clusterBytes) + " once formatted.";

  if (o.preserveProject && o.volume != nullptr) return CheckProjectPreservation(o, notice);
  return {};
}

}  // namespace tessarin::linux_port
