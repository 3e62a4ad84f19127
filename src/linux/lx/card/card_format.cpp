#include "lx/card/card_format.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "card/entry_names.h"
#include "lx/card/card_settle.h"
#include "lx/support/process.h"

namespace tessarin::linux_port {
namespace {

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

constexpr char kLabel[] = "QV         ";  // as the boot sector and the label entry store it
constexpr std::uint32_t kFat32Mask = 0x0FFFFFFF;

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

std::string SerialText(std::uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X-%04X", serial >> 16, serial & 0xFFFF);
  return text;
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// A serial number for the new volume: never 0, never the one the card's
// volume has now, so that the volume found afterwards can only be the new
// one.
std::uint32_t NewSerial(const std::optional<std::uint32_t>& before) {
  for (std::uint32_t attempt = 0;; ++attempt) {
    std::uint32_t serial = 0;
    if (getrandom(&serial, sizeof serial, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof serial)) {
      // No randomness yet (early after boot): the clock is new enough.
      timespec now{};
      clock_gettime(CLOCK_REALTIME, &now);
      serial = static_cast<std::uint32_t>(now.tv_sec) << 20 ^ static_cast<std::uint32_t>(now.tv_nsec) ^ attempt;
    }
    if (serial != 0 && (!before || serial != *before)) return serial;
  }
}

}  // namespace

std::vector<std::string> FormatterFolders() { return {"/usr/sbin", "/sbin"}; }

std::optional<std::string> FindFormatter(const std::string& pathVariable, const std::vector<std::string>& folders) {
  std::vector<std::string> candidates;
  for (std::size_t start = 0; start <= pathVariable.size();) {
    std::size_t end = pathVariable.find(':', start);
    if (end == std::string::npos) end = pathVariable.size();
    std::string folder = pathVariable.substr(start, end - start);
    if (!folder.empty() && folder.front() == '/') candidates.push_back(std::move(folder));
    start = end + 1;
  }
  candidates.insert(candidates.end(), folders.begin(), folders.end());
  for (std::string path : candidates) {
    if (path.empty()) continue;
    if (path.back() != '/') path += '/';
    path += "mkfs.fat";
    if (IsExecutableFile(path)) return path;
  }
  return std::nullopt;
}

std::optional<std::string> FindFormatter() {
  const char* path = std::getenv("PATH");
  return FindFormatter(path != nullptr ? path : "", FormatterFolders());
}

std::optional<std::uint32_t> VolumeSerial(const std::uint8_t* b) {
  const unsigned bytesPerSector = Le16(b + 11);
  if (b[510] != 0x55 || b[511] != 0xAA || bytesPerSector < 512 || (bytesPerSector & (bytesPerSector - 1)) != 0)
    return std::nullopt;
  // FAT32 keeps its extended boot record after the longer BPB; FAT12/16
  // (sectors per FAT in the old field) right after the old one.
  const std::size_t record = Le16(b + 22) == 0 ? 64 : 36;
  if (b[record + 2] != 0x29 && b[record + 2] != 0x28) return std::nullopt;
  return Le32(b + record + 3);
}

std::string WhyNotTheNewVolume(CardSession& session, std::uint64_t firstSector, std::uint32_t serial) {
  if (!session.volume || !session.device) return "its volume cannot be read (" + session.why + ")";
  fat::Volume& volume = *session.volume;
  const fat::VolumeInfo info = volume.Info();
  if (info.type != fat::FatType::Fat32) return "it holds a FAT12 or FAT16 volume, not FAT32";
  if (info.bytesPerSector != 512) return "its sectors are " + std::to_string(info.bytesPerSector) + " bytes, not 512";
  if (info.fromBackupBootSector) return "its boot sector is unusable (the backup boot sector was read)";
  if (info.fromSecondFat) return "its first FAT is unusable (the second FAT was read)";

  std::string why;
  auto read = [&](std::uint64_t sector, std::uint32_t count, std::uint8_t* bytes) {
    if (const Failure f = session.device->ReadSectors(firstSector + sector, count, bytes)) {
      why = "reading its sector " + std::to_string(sector) + " failed";
      if (f.origin == CodeOrigin::Errno) why += std::string(": ") + std::strerror(static_cast<int>(f.code));
      return false;
    }
    return true;
  };
  std::uint8_t boot[512];
  if (!read(0, 1, boot)) return why;
  const std::optional<std::uint32_t> found = VolumeSerial(boot);
  if (found != serial)
    return "its serial number is " + (found ? SerialText(*found) : std::string("missing")) + ", not the " +
           SerialText(serial) + " the formatter was given";
  if (std::memcmp(boot + 71, kLabel, 11) != 0) return "its boot sector does not carry the label QV";

  const fat::Result<std::vector<fat::Entry>> root = volume.List("");
  if (!root.ok()) return "its root folder cannot be read (" + Explain(root.status) + ")";
  if (!root.value.empty()) return "its root folder holds \"" + EscapeName(root.value.front().name) + "\"";

  const std::uint32_t reserved = Le16(boot + 14);
  const std::uint32_t fats = boot[16];
  const std::uint32_t fatSectors = Le32(boot + 36);
  const std::uint32_t rootCluster = Le32(boot + 44);
  if (rootCluster < 2 || rootCluster - 2 >= info.clusterCount)
    return "its root folder starts at cluster " + std::to_string(rootCluster) + ", outside the volume";

  // The FAT's first entries: the media byte, the end mark with both "clean"
  // bits set, and the root folder's single cluster.
  std::uint8_t fat[512];
  if (!read(reserved, 1, fat)) return why;
  const std::uint32_t media = 0x0FFFFF00u | boot[21];
  if ((Le32(fat) & kFat32Mask) != media || (Le32(fat + 4) & kFat32Mask) != kFat32Mask)
    return "its FAT starts with " + Hex(Le32(fat)) + " " + Hex(Le32(fat + 4)) + ", not " + Hex(media) + " " +
           Hex(kFat32Mask) + " as a new one does";
  std::uint8_t rootEntry[512];
  if (!read(reserved + rootCluster / 128, 1, rootEntry)) return why;
  if ((Le32(rootEntry + std::size_t{rootCluster % 128} * 4) & kFat32Mask) < 0x0FFFFFF8)
    return "its root folder takes more than one cluster";
  if (std::uint64_t{info.freeClusters} + 1 != info.clusterCount)
    return "its FAT marks " + std::to_string(info.clusterCount - info.freeClusters) +
           " clusters used, a new volume only its root folder's";

  // The root folder as the formatter leaves it: the label entry, then
  // nothing (no deleted entries either).
  std::vector<std::uint8_t> cluster(info.clusterBytes);
  if (!read(reserved + std::uint64_t{fats} * fatSectors + std::uint64_t{rootCluster - 2} * (info.clusterBytes / 512),
            info.clusterBytes / 512, cluster.data()))
    return why;
  if (std::memcmp(cluster.data(), kLabel, 11) != 0 || cluster[11] != fat::kVolumeLabel)
    return "its root folder does not begin with the label QV";
  for (std::size_t i = 32; i < cluster.size(); ++i)
    if (cluster[i] != 0) return "its root folder holds more than the label";
  return {};
}

std::optional<Geometry> RecordedGeometry(const std::uint8_t* b) {
  const unsigned bytesPerSector = b[11] | b[12] << 8;
  const unsigned sectorsPerTrack = b[24] | b[25] << 8;
  const unsigned heads = b[26] | b[27] << 8;
  if (b[510] != 0x55 || b[511] != 0xAA || bytesPerSector != 512) return std::nullopt;
  if (heads < 1 || heads > 256 || sectorsPerTrack < 1 || sectorsPerTrack > 63) return std::nullopt;
  return Geometry{heads, sectorsPerTrack};
}

std::vector<std::string> FormatCommand(const std::string& formatter, const CardTarget& target,
                                       const std::optional<Geometry>& geometry, std::uint32_t serial) {
  const std::string start = std::to_string(target.partitionStart);
  char id[16];
  std::snprintf(id, sizeof id, "%08x", serial);
  std::vector<std::string> argv{formatter,           "-F", "32", "-n",     "QV", "-S", "512", "-h", start,
                                "--offset=" + start, "-i", id,   "--mbr=n"};
  if (geometry)
    argv.insert(argv.end(), {"-g", std::to_string(geometry->heads) + "/" + std::to_string(geometry->sectorsPerTrack)});
  // mkfs.fat refuses a whole disk on its own; this one was checked (not
  // mounted, not the system's disk, held by nobody) before.
  if (target.blockDevice) argv.push_back("-I");
  argv.push_back(target.path);
  argv.push_back(std::to_string(target.partitionSectors / 2));  // 1 KiB blocks
  return argv;
}

bool CardFormat::FormatCard(const std::string& /*driveEntry*/) {
  // Looked for again: it may have gone since the checks before the
  // question.
  const std::optional<std::string> formatter = FindFormatter();
  if (!formatter) {
    if (diagnostic_) diagnostic_(kNoFormatter);
    return false;
  }
  std::optional<Geometry> geometry;
  std::optional<std::uint32_t> serialBefore;
  std::uint8_t sector[512];
  if (pread(hold_.fd(), sector, sizeof sector, static_cast<off_t>(target_.VolumeOffset())) == sizeof sector) {
    if (!target_.blockDevice) geometry = RecordedGeometry(sector);
    serialBefore = VolumeSerial(sector);
  }
  const std::uint32_t serial = NewSerial(serialBefore);
  hold_.NoteChange();
  // mkfs.fat opens a block device exclusively itself; the hold's lock
  // keeps another restore away meanwhile.
  hold_.SuspendExclusive();
  progress_.Begin("Formatting");
  const ProcessResult r = RunProcess(FormatCommand(*formatter, target_, geometry, serial));
  progress_.End();
  // Whether the card is still there is the next acquisition's question.
  hold_.ResumeExclusive();
  if (!r.ok() && diagnostic_) {
    if (!r.started)
      diagnostic_(std::string("mkfs.fat: ") + std::strerror(r.error));
    else
      diagnostic_("mkfs.fat failed: " + JoinLines(r.errors.empty() ? r.output : r.errors));
  }
  if (!r.ok()) return false;
  // What the formatter says is not proof: the card itself, past the
  // kernel's cache, must hold the volume it was asked for.
  CardSession session = CardFat(target_, 'e', &hold_).Open(/*writable=*/false, /*fromMedium=*/true);
  if (const std::string why = WhyNotTheNewVolume(session, target_.partitionStart, serial); !why.empty()) {
    if (diagnostic_) diagnostic_("mkfs.fat reported success but the card does not hold a new volume: " + why);
    return false;
  }
  return true;
}

void CardFormat::SettleAfterFormatting(const std::string& /*driveEntry*/) {
  const auto started = std::chrono::steady_clock::now();
  linux_port::SettleAfterFormatting(target_, hold_.fd(), diagnostic_);
  settleSeconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace tessarin::linux_port
