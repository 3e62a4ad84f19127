#include "linux/preflight.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "boot/compose.h"
#include "card/card_types.h"
#include "fat/fat_names.h"
#include "linux/card_fat.h"
#include "linux/card_format.h"
#include "linux/terminal_text.h"
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

ArchiveReport CheckInstallerArchive(const std::string& path) {
  ArchiveReport report;
  archive* in = archive_read_new();
  archive_read_support_filter_all(in);
  archive_read_support_format_zip_seekable(in);
  archive_read_support_format_7zip(in);
  auto readError = [&](const std::string& what) {
    const char* why = archive_error_string(in);
    return what + (why != nullptr ? std::string(": ") + why : std::string());
  };
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
    archive_read_free(in);
    close(fd);
    return report;
  }
  if (archive_read_open_fd(in, fd, 1 << 20) != ARCHIVE_OK) {
    report.problem = readError("it cannot be read as an installer archive");
    archive_read_free(in);
    close(fd);
    return report;
  }
  std::size_t files = 0;
  archive_entry* entry = nullptr;
  for (;;) {
    const int rc = archive_read_next_header(in, &entry);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN) {
      report.problem = readError("it is damaged");
      break;
    }
    const char* rawName = archive_entry_pathname(entry);
    std::string name = rawName != nullptr ? rawName : "";
    const auto type = archive_entry_filetype(entry);
    const EntryKind kind = archive_entry_hardlink(entry) != nullptr ? EntryKind::HardLink
                           : type == AE_IFREG                       ? EntryKind::File
                           : type == AE_IFDIR                       ? EntryKind::Folder
                           : type == AE_IFLNK                       ? EntryKind::SymbolicLink
                                                                    : EntryKind::Other;
    const std::uint64_t declared =
        archive_entry_size_is_set(entry) ? static_cast<std::uint64_t>(archive_entry_size(entry)) : 0;
    if (const std::string why = WhyEntryUnfitForCard(name, kind, declared); !why.empty()) {
      report.problem = "it holds an entry that cannot go onto the card, " + why + ": " + EscapeForTerminal(name);
      break;
    }
    while (name.rfind("./", 0) == 0) name.erase(0, 2);
    while (!name.empty() && name.back() == '/') name.pop_back();
    if (name.empty() || name == ".") continue;
    ArchiveItem item{name, type == AE_IFDIR, 0};
    if (!item.directory) {
      // Every byte read: a damaged entry shows only in its data.
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      int r = ARCHIVE_OK;
      std::uint64_t end = 0;
      while ((r = archive_read_data_block(in, &block, &size, &offset)) == ARCHIVE_OK)
        end = std::max<std::uint64_t>(end, static_cast<std::uint64_t>(offset) + size);
      if (r != ARCHIVE_EOF) {
        report.problem = readError("its entry " + EscapeForTerminal(name) + " is damaged");
        break;
      }
      item.size = archive_entry_size_is_set(entry) ? static_cast<std::uint64_t>(archive_entry_size(entry)) : end;
      if (item.size > kMaxFatFileSize) {
        report.problem = "it holds a file of 4 GiB or more, larger than FAT can hold: " + EscapeForTerminal(name);
        break;
      }
      ++files;
    }
    report.items.push_back(std::move(item));
  }
  archive_read_free(in);
  close(fd);
  if (report.problem.empty() && files == 0) report.problem = "it holds no files";
  if (report.problem.empty()) {
    if (std::string clash = FindNameClash(report.items); !clash.empty())
      report.problem = "it holds " + EscapeForTerminal(clash) + "; a FAT card keeps only one of them";
  }
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
      const auto named = std::find_if(waiting.begin(), waiting.end(),
                                      [&](const WaitingCopy& c) { return c.folder == o.putBackCopy; });
      if (named == waiting.end())
        return EscapeForTerminal(o.putBackCopy) +
               " is not a complete saved Project folder of this user in " + EscapeForTerminal(o.saveFolder) +
               "; nothing was changed.";
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
