#include "lx/card/card_summary.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace tessarin::linux_port {
namespace {

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::string Trimmed(const std::uint8_t* p, std::size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

bool PowerOfTwo(unsigned v) { return v != 0 && (v & (v - 1)) == 0; }

// The BPB of a FAT boot sector, when the sector is one.
struct Bpb {
  unsigned bytesPerSector, sectorsPerCluster, reserved, fats, rootEntries;
  std::uint32_t totalSectors, sectorsPerFat;
  bool fat32;
};

std::optional<Bpb> ParseBpb(const std::uint8_t* b) {
  if (b[510] != 0x55 || b[511] != 0xAA) return std::nullopt;
  if (b[0] != 0xEB && b[0] != 0xE9) return std::nullopt;
  Bpb p{};
  p.bytesPerSector = Le16(b + 11);
  p.sectorsPerCluster = b[13];
  p.reserved = Le16(b + 14);
  p.fats = b[16];
  p.rootEntries = Le16(b + 17);
  p.totalSectors = Le16(b + 19) != 0 ? Le16(b + 19) : Le32(b + 32);
  p.fat32 = Le16(b + 22) == 0;
  p.sectorsPerFat = p.fat32 ? Le32(b + 36) : Le16(b + 22);
  if (p.bytesPerSector < 512 || p.bytesPerSector > 4096 || !PowerOfTwo(p.bytesPerSector)) return std::nullopt;
  if (!PowerOfTwo(p.sectorsPerCluster) || p.reserved == 0 || p.fats == 0 || p.fats > 2) return std::nullopt;
  if (p.totalSectors == 0 || p.sectorsPerFat == 0) return std::nullopt;
  return p;
}

bool LooksLikeMbr(const std::uint8_t* s, std::uint64_t diskSectors) {
  if (s[510] != 0x55 || s[511] != 0xAA) return false;
  bool any = false;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* e = s + 446 + std::ptrdiff_t{16} * i;
    if (e[0] != 0x00 && e[0] != 0x80) return false;
    if (e[4] == 0) continue;
    const std::uint32_t start = Le32(e + 8), count = Le32(e + 12);
    // A protective GPT entry may claim more than the disk holds.
    if (start == 0 || (e[4] != 0xEE && diskSectors != 0 && std::uint64_t{start} > diskSectors)) return false;
    any = any || count != 0;
  }
  return any;
}

}  // namespace

std::optional<VolumeIdentity> ReadVolumeIdentity(const ReadAt& read, std::uint64_t offset) {
  std::uint8_t boot[512];
  if (!read(offset, boot, sizeof boot)) return std::nullopt;
  const auto bpb = ParseBpb(boot);
  if (!bpb) return std::nullopt;

  VolumeIdentity id;
  const std::uint64_t rootSectors =
      (std::uint64_t{bpb->rootEntries} * 32 + bpb->bytesPerSector - 1) / bpb->bytesPerSector;
  const std::uint64_t firstData = bpb->reserved + std::uint64_t{bpb->fats} * bpb->sectorsPerFat + rootSectors;
  const std::uint64_t clusters =
      bpb->totalSectors > firstData ? (bpb->totalSectors - firstData) / bpb->sectorsPerCluster : 0;
  id.fileSystem = bpb->fat32 ? "FAT32" : clusters < 4085 ? "FAT12" : "FAT16";
  const std::size_t ext = bpb->fat32 ? 64 : 36;  // the extended BPB: drive, reserved, signature, serial, label
  if (boot[ext + 2] == 0x29) {
    id.serial = Le32(boot + ext + 3);
    id.label = Trimmed(boot + ext + 7, 11);
  }
  if (id.label == "NO NAME") id.label.clear();

  // The root folder's label entry is the one Windows shows.
  std::uint64_t rootAt = 0;
  std::size_t rootBytes = 0;
  if (bpb->fat32) {
    const std::uint32_t rootCluster = Le32(boot + 44) & 0x0FFFFFFF;
    if (rootCluster >= 2 && rootCluster - 2 < clusters) {
      rootAt = (firstData + std::uint64_t{rootCluster - 2} * bpb->sectorsPerCluster) * bpb->bytesPerSector;
      rootBytes = std::size_t{bpb->sectorsPerCluster} * bpb->bytesPerSector;
    }
  } else {
    rootAt = (bpb->reserved + std::uint64_t{bpb->fats} * bpb->sectorsPerFat) * bpb->bytesPerSector;
    rootBytes = std::size_t{bpb->rootEntries} * 32;
  }
  rootBytes = std::min<std::size_t>(rootBytes, std::size_t{64} * 1024);
  std::vector<std::uint8_t> root(rootBytes);
  if (rootBytes > 0 && read(offset + rootAt, root.data(), root.size())) {
    for (std::size_t at = 0; at + 32 <= root.size(); at += 32) {
      const std::uint8_t* e = root.data() + at;
      if (e[0] == 0x00) break;
      if (e[0] == 0xE5 || (e[11] & 0x3F) == 0x0F) continue;  // deleted, long-name part
      if ((e[11] & 0x18) == 0x08) {
        id.label = Trimmed(e, 11);
        break;
      }
    }
  }
  return id;
}

CardSummary SummarizeCard(const ReadAt& read, std::uint64_t diskBytes) {
  CardSummary summary;
  std::uint8_t sector[512];
  if (!read(0, sector, sizeof sector)) return summary;
  if (sector[510] != 0x55 || sector[511] != 0xAA) {
    summary.layout = CardSummary::Layout::Blank;
    return summary;
  }
  if (LooksLikeMbr(sector, diskBytes / 512)) {
    summary.layout = CardSummary::Layout::PartitionTable;
    const std::uint8_t* e = sector + 446;
    summary.type = e[4];
    summary.start = Le32(e + 8);
    summary.sectors = Le32(e + 12);
    if (summary.type != 0 && summary.type != 0xEE && summary.start != 0)
      summary.volume = ReadVolumeIdentity(read, std::uint64_t{summary.start} * 512);
    return summary;
  }
  if (auto volume = ReadVolumeIdentity(read, 0)) {
    summary.layout = CardSummary::Layout::Superfloppy;
    summary.volume = std::move(volume);
    return summary;
  }
  // A boot signature over something else: show the first entry as it is.
  summary.layout = CardSummary::Layout::PartitionTable;
  summary.type = sector[446 + 4];
  summary.start = Le32(sector + 446 + 8);
  summary.sectors = Le32(sector + 446 + 12);
  return summary;
}

CardSummary SummarizeCardAt(const std::string& path) {
  // O_NONBLOCK: a reader without a card answers at once instead of waiting.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  std::uint64_t size = 0;
  struct stat st {};
  if (fstat(fd, &st) == 0) {
    if (S_ISBLK(st.st_mode)) {
      if (ioctl(fd, BLKGETSIZE64, &size) != 0) size = 0;
    } else {
      size = static_cast<std::uint64_t>(st.st_size);
    }
  }
  const ReadAt read = [fd](std::uint64_t offset, std::uint8_t* bytes, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
      const ssize_t got = pread(fd, bytes + done, length - done, static_cast<off_t>(offset + done));
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  };
  CardSummary summary = SummarizeCard(read, size);
  close(fd);
  return summary;
}

std::string VolumeSerialText(std::uint32_t serial) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X-%04X", serial >> 16, serial & 0xFFFF);
  return buf;
}

std::string DescribeFirstPartition(const CardSummary& s) {
  std::string text;
  switch (s.layout) {
    case CardSummary::Layout::Unreadable:
      return "unreadable";
    case CardSummary::Layout::Blank:
      return "no partition table";
    case CardSummary::Layout::Superfloppy:
      text = "no partition table, a volume from sector 0";
      break;
    case CardSummary::Layout::PartitionTable:
      text = PartitionTypeName(s.type);
      break;
  }
  if (s.volume) {
    if (s.layout == CardSummary::Layout::PartitionTable)
      text += ", " + s.volume->fileSystem;
    else
      text += " (" + s.volume->fileSystem + ")";
    if (!s.volume->label.empty()) text += ", label \"" + s.volume->label + "\"";
    if (s.volume->serial) text += ", serial " + VolumeSerialText(*s.volume->serial);
  }
  return text;
}

}  // namespace tessarin::linux_port
