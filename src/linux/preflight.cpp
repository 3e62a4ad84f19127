#include "linux/preflight.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "boot/boot_sector.h"
#include "card/card_types.h"
#include "linux/card_format.h"
#include "linux/card_volume.h"
#include "linux/terminal_text.h"

namespace tessarin::linux_port {
namespace {

constexpr std::uint64_t kMaxFatFileSize = 0xFFFFFFFFull;  // 4 GiB less one byte
constexpr std::size_t kMaxLongNameUnits = 255;            // UTF-16 units of one long name

// Decodes one UTF-8 character at text[i]; false for a malformed sequence
// (which no card name can be made of).
bool NextCodePoint(std::string_view text, std::size_t& i, char32_t& cp) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  if (lead < 0x80) {
    cp = lead;
    length = 1;
  } else if ((lead & 0xE0) == 0xC0) {
    cp = lead & 0x1F;
    length = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    cp = lead & 0x0F;
    length = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    cp = lead & 0x07;
    length = 4;
  } else {
    return false;
  }
  if (i + length > text.size()) return false;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kShortest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += length;
  return true;
}

// Upper case as FAT compares long names; the C.UTF-8 locale's table,
// whatever the operator's locale.
std::string FoldName(std::string_view name) {
  static const locale_t kUtf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::string out;
  for (std::size_t i = 0; i < name.size();) {
    char32_t cp = 0;
    const std::size_t at = i;
    if (!NextCodePoint(name, i, cp)) {
      out += name[at];
      i = at + 1;
      continue;
    }
    if (kUtf8 != static_cast<locale_t>(nullptr))
      cp = static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), kUtf8));
    else if (cp >= 'a' && cp <= 'z')
      cp -= 'a' - 'A';
    char buf[8];
    std::size_t n = 0;
    if (cp < 0x80) {
      buf[n++] = static_cast<char>(cp);
    } else if (cp < 0x800) {
      buf[n++] = static_cast<char>(0xC0 | (cp >> 6));
      buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      buf[n++] = static_cast<char>(0xE0 | (cp >> 12));
      buf[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      buf[n++] = static_cast<char>(0xF0 | (cp >> 18));
      buf[n++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      buf[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    }
    out.append(buf, n);
  }
  return out;
}

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

std::size_t Utf16Units(std::string_view name) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < name.size();) {
    char32_t cp = 0;
    if (!NextCodePoint(name, i, cp)) return kMaxLongNameUnits + 1;
    units += cp >= 0x10000 ? 2 : 1;
  }
  return units;
}

std::string Megabytes(std::uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

std::uint16_t Get16(const std::uint8_t* p, std::size_t at) {
  return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}

bool LooksLikeFatBootSector(const std::uint8_t* b) {
  if (b[510] != 0x55 || b[511] != 0xAA) return false;
  if (b[0] != 0xEB && b[0] != 0xE9) return false;
  const unsigned bytesPerSector = Get16(b, 11);
  const unsigned perCluster = b[13];
  return (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096) &&
         perCluster != 0 && (perCluster & (perCluster - 1)) == 0 && Get16(b, 14) != 0 && b[16] != 0 &&
         (b[21] == 0xF0 || b[21] >= 0xF8);
}

bool AllZero(const std::uint8_t* b) {
  return std::all_of(b, b + 512, [](std::uint8_t v) { return v == 0; });
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
    for (std::size_t i = 0; i < part.size();) {
      char32_t cp = 0;
      if (!NextCodePoint(part, i, cp)) return "a name that is not valid UTF-8";
      if (cp < 0x20 || cp == 0x7F) return "a control character in the name";
      if (cp < 0x80 && std::strchr("\"*:<>?|", static_cast<int>(cp)) != nullptr)
        return std::string("a character FAT names cannot hold ('") + static_cast<char>(cp) + "')";
    }
    if (Utf16Units(part) > kMaxLongNameUnits) return "a name longer than 255 characters";
    if (part.back() == '.' || part.back() == ' ') return "a name that ends with a dot or a blank";
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
    const auto [it, added] = byFolded.emplace(FoldName(path), Seen{path, directory});
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
      if (!placed.insert(FoldName(path)).second) continue;
      const std::size_t units = Utf16Units(parts[n - 1]);
      folderBytes[Join(parts, n - 1)] += 32 * (1 + (units + 12) / 13);
      if (n < parts.size() || item.directory) folderBytes.emplace(path, 64);
    }
    if (!item.directory) clusters += clustersOf(item.size);
  }
  for (const auto& [folder, bytes] : folderBytes) clusters += std::max<std::uint64_t>(1, clustersOf(bytes));
  return clusters;
}

VolumeStart ClassifyVolumeStart(const std::uint8_t* bootSector, const std::uint8_t* backupBootSector) {
  if (LooksLikeFatBootSector(bootSector)) return VolumeStart::Fat;
  if (AllZero(bootSector) && AllZero(backupBootSector)) return VolumeStart::Blank;
  return VolumeStart::Unreadable;
}

bool ListingHoldsProject(const std::string& listing) {
  std::size_t start = 0;
  while (start < listing.size()) {
    std::size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    std::string line = listing.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "e:/Project/": a folder in the root; files have no trailing slash.
    if (line.size() < 2 || line.back() != '/') continue;
    line.pop_back();
    // "e:/NAME": an entry of the root itself.
    const std::size_t root = line.find(":/");
    if (root == std::string::npos) continue;
    const std::string name = line.substr(root + 2);
    if (name.size() == 7 && FoldName(name) == "PROJECT") return true;
  }
  return false;
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
  if (const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC); fd < 0) {
    report.problem = std::string("it cannot be opened: ") + std::strerror(errno);
    archive_read_free(in);
    return report;
  } else {
    close(fd);
  }
  if (archive_read_open_filename(in, path.c_str(), 1 << 20) != ARCHIVE_OK) {
    report.problem = readError("it cannot be read as an installer archive");
    archive_read_free(in);
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

ProjectProbe ProbeProject(int fd, const CardTarget& target, const CardVolume& volume) {
  ProjectProbe probe;
  std::uint8_t boot[512], backup[512];
  if (pread(fd, boot, sizeof boot, static_cast<off_t>(target.VolumeOffset())) != sizeof boot ||
      pread(fd, backup, sizeof backup, static_cast<off_t>(target.VolumeOffset() + 6 * 512)) != sizeof backup) {
    probe.why = std::string("its first partition cannot be read: ") + std::strerror(errno != 0 ? errno : EIO);
    return probe;
  }
  switch (ClassifyVolumeStart(boot, backup)) {
    case VolumeStart::Blank:
      probe.presence = ProjectPresence::Absent;  // never formatted: no files at all
      return probe;
    case VolumeStart::Unreadable:
      probe.why = "its first partition holds no readable FAT boot sector";
      return probe;
    case VolumeStart::Fat:
      break;
  }
  const std::string root = std::string(1, volume.letter()) + ":/";
  const ProcessResult r = volume.Run({"mdir", "-a", "-b", root});
  if (!r.started) {
    probe.why = std::string("mdir cannot be run: ") + std::strerror(r.error);
    return probe;
  }
  if (!r.ok()) {
    const std::string line = FirstLine(r.errors);
    probe.why = "its files cannot be read" + (line.empty() ? std::string() : ": " + line);
    return probe;
  }
  probe.presence = ListingHoldsProject(r.output) ? ProjectPresence::Present : ProjectPresence::Absent;
  return probe;
}

std::string RunPreflight(const PreflightOptions& o) {
  const CardTarget& target = *o.target;

  // The installer archive: there, readable, whole, and every entry fit for
  // the card.
  const ArchiveReport archive = CheckInstallerArchive(o.archive);
  if (!archive.problem.empty())
    return "the installer archive " + EscapeForTerminal(o.archive) + " cannot be installed: " + archive.problem + ".";

  // mkfs.fat makes the volume of the partition's whole 1 KiB blocks.
  const std::uint64_t volumeSectors = std::uint64_t{target.partitionSectors} / 2 * 2;
  const double capacity = static_cast<double>(volumeSectors) * 512;
  if (o.systemKind == static_cast<int>(SystemKind::WinCE) &&
      (capacity > kMaxCardCapacity || capacity < kMinCardCapacity))
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

  if (o.preserveProject && o.volume != nullptr) {
    const ProjectProbe probe = ProbeProject(o.fd, target, *o.volume);
    if (probe.presence == ProjectPresence::Undecided)
      return "the card's files cannot be read (" + EscapeForTerminal(probe.why) +
             "), so its Project folder cannot be saved. To restore the card anyway, and lose whatever its "
             "Project folder holds, run again with --no-preserve.";
  }
  return {};
}

}  // namespace tessarin::linux_port
