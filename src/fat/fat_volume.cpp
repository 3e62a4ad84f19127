#include <algorithm>
#include <cstring>

#include "fat/volume_impl.h"

namespace tessarin::fat {
namespace {

constexpr std::uint32_t kBackupBootSector = 6;
constexpr std::size_t kTransferBytes = 1u << 20;  // the largest single transfer, and the write buffer
constexpr std::uint32_t kFsInfoLead = 0x41615252;
constexpr std::uint32_t kFsInfoStruct = 0x61417272;
constexpr std::uint32_t kFsInfoTrail = 0xAA550000;

bool PowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool Empty(const std::uint8_t* sector) {
  const std::uint8_t fill = sector[0];
  if (fill != 0x00 && fill != 0xFF) return false;  // erased flash reads as either
  return std::all_of(sector, sector + kDeviceSectorSize, [fill](std::uint8_t b) { return b == fill; });
}

// How far into a volume whose boot sector and backup are empty something
// else of a file system would show: the reserved sectors and the start of
// the first FAT lie within it for every formatter's alignment (up to 4 MiB).
constexpr std::uint64_t kBlankProbeSectors = 16384;

}  // namespace

const char* Describe(Fault fault) {
  switch (fault) {
    case Fault::None:
      return "done";
    case Fault::ReadFailed:
      return "the card could not be read";
    case Fault::WriteFailed:
      return "the card could not be written";
    case Fault::Blank:
      return "the card's partition holds no file system";
    case Fault::NotFat:
      return "the card's partition holds no FAT file system";
    case Fault::Damaged:
      return "the card's FAT file system is damaged";
    case Fault::NotFound:
      return "not found";
    case Fault::NotAFolder:
      return "a file stands where a folder is needed";
    case Fault::IsAFolder:
      return "a folder stands where a file is needed";
    case Fault::NameNotAllowed:
      return "FAT cannot hold the name";
    case Fault::NameClash:
      return "the folder holds another entry of that name, up to case";
    case Fault::TooLarge:
      return "FAT holds no file of 4 GiB or more";
    case Fault::NoSpace:
      return "no space left on the card";
    case Fault::FolderFull:
      return "the folder cannot take more entries";
    case Fault::NotEmpty:
      return "the folder is not empty";
    case Fault::ReadOnly:
      return "the card was opened for reading only";
    case Fault::SourceFailed:
      return "the file to be written could not be read";
    case Fault::SinkFailed:
      return "the file read could not be stored";
  }
  return "unknown fault";
}

Stamp ToStamp(const CivilTime& t, int hundredths) {
  Stamp s;
  if (t.year < 1980) return s;
  const int year = std::min(t.year, 2107);
  const int month = std::clamp(t.month, 1, 12);
  const int day = std::clamp(t.day, 1, 31);
  s.date = static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day);
  s.time = static_cast<std::uint16_t>(std::clamp(t.hour, 0, 23) << 11 | std::clamp(t.minute, 0, 59) << 5 |
                                      std::clamp(t.second, 0, 59) / 2);
  s.hundredths = static_cast<std::uint8_t>((t.second & 1) * 100 + std::clamp(hundredths, 0, 99));
  return s;
}

CivilTime FromStamp(const Stamp& s) {
  CivilTime t;
  t.year = 1980 + (s.date >> 9);
  t.month = (s.date >> 5) & 0x0F;
  t.day = s.date & 0x1F;
  t.hour = s.time >> 11;
  t.minute = (s.time >> 5) & 0x3F;
  t.second = (s.time & 0x1F) * 2;
  return t;
}

std::vector<std::string> SplitPath(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// ---- The device -------------------------------------------------------

Status Volume::Impl::ReadBytes(std::uint64_t offset, std::size_t length, std::uint8_t* out) {
  while (length > 0) {
    const std::size_t piece = std::min(length, kTransferBytes);
    const Failure f = device_.ReadSectors(first_ + offset / kDeviceSectorSize,
                                          static_cast<std::uint32_t>(piece / kDeviceSectorSize), out);
    if (f) return {Fault::ReadFailed, f};
    offset += piece;
    out += piece;
    length -= piece;
  }
  return {};
}

Status Volume::Impl::WriteBytes(std::uint64_t offset, std::size_t length, const std::uint8_t* in) {
  if (!options_.writable) return {Fault::ReadOnly};
  while (length > 0) {
    const std::size_t piece = std::min(length, kTransferBytes);
    const Failure f = device_.WriteSectors(first_ + offset / kDeviceSectorSize,
                                           static_cast<std::uint32_t>(piece / kDeviceSectorSize), in);
    if (f) return {Fault::WriteFailed, f};
    offset += piece;
    in += piece;
    length -= piece;
  }
  return {};
}

// ---- Opening ----------------------------------------------------------

bool Volume::Impl::ParseBootSector(const std::uint8_t* b, std::uint64_t volumeSectors) {
  if (b[510] != 0x55 || b[511] != 0xAA) return false;
  const std::uint32_t bytesPerSector = Le16(b + 11);
  const std::uint32_t sectorsPerCluster = b[13];
  const std::uint32_t reserved = Le16(b + 14);
  const std::uint32_t fats = b[16];
  const std::uint32_t rootEntries = Le16(b + 17);
  const std::uint32_t total16 = Le16(b + 19);
  const std::uint8_t media = b[21];
  const std::uint32_t fat16Size = Le16(b + 22);
  const std::uint32_t total32 = Le32(b + 32);
  const std::uint32_t fat32Size = Le32(b + 36);

  if (bytesPerSector < 512 || bytesPerSector > 4096 || !PowerOfTwo(bytesPerSector)) return false;
  if (!PowerOfTwo(sectorsPerCluster) || sectorsPerCluster * bytesPerSector > 65536) return false;
  if (reserved == 0 || fats == 0 || fats > 4) return false;
  if (media != 0xF0 && media < 0xF8) return false;
  const std::uint32_t fatSize = fat16Size != 0 ? fat16Size : fat32Size;
  const std::uint64_t total = total16 != 0 ? total16 : total32;
  if (fatSize == 0 || total == 0) return false;

  const std::uint32_t rootSectors = (rootEntries * kEntryBytes + bytesPerSector - 1) / bytesPerSector;
  const std::uint64_t meta = std::uint64_t{reserved} + std::uint64_t{fats} * fatSize + rootSectors;
  if (meta >= total) return false;
  const std::uint64_t clusters64 = (total - meta) / sectorsPerCluster;
  if (clusters64 == 0 || clusters64 > 0x0FFFFFF5) return false;
  std::uint32_t clusters = static_cast<std::uint32_t>(clusters64);
  const FatType type = clusters < 4085 ? FatType::Fat12 : clusters < 65525 ? FatType::Fat16 : FatType::Fat32;

  if (type == FatType::Fat32) {
    if (rootEntries != 0 || fat32Size == 0 || b[42] != 0 || b[43] != 0) return false;  // version 0.0 only
    rootCluster_ = Le32(b + 44);
    fsInfoSector_ = Le16(b + 48);
    const std::uint32_t extFlags = Le16(b + 40);
    mirrored_ = (extFlags & 0x80) == 0;
    activeFat_ = mirrored_ ? 0 : extFlags & 0x0F;
    if (activeFat_ >= fats) return false;
    if (fsInfoSector_ == 0 || fsInfoSector_ >= reserved) fsInfoSector_ = 0;
  } else {
    if (rootEntries == 0) return false;
    rootCluster_ = 0;
    fsInfoSector_ = 0;
    mirrored_ = true;
    activeFat_ = 0;
  }

  // A FAT that cannot describe every cluster limits the volume to what it
  // describes.
  const std::uint64_t fatBytes = std::uint64_t{fatSize} * bytesPerSector;
  const std::uint64_t describable = type == FatType::Fat12   ? fatBytes * 2 / 3
                                    : type == FatType::Fat16 ? fatBytes / 2
                                                             : fatBytes / 4;
  if (describable < 3) return false;
  clusters = static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters, describable - 2));

  // The volume must lie on the device as it claims to.
  const std::uint64_t factor = bytesPerSector / kDeviceSectorSize;
  if (total * factor > volumeSectors) return false;

  type_ = type;
  bytesPerSector_ = bytesPerSector;
  sectorsPerCluster_ = sectorsPerCluster;
  clusterBytes_ = bytesPerSector * sectorsPerCluster;
  fatCount_ = fats;
  fatSectors_ = fatSize;
  rootEntries_ = rootEntries;
  fatOffset_ = std::uint64_t{reserved} * bytesPerSector;
  rootOffset_ = fatOffset_ + std::uint64_t{fats} * fatSize * bytesPerSector;
  dataOffset_ = rootOffset_ + std::uint64_t{rootSectors} * bytesPerSector;
  clusterCount_ = clusters;
  maxCluster_ = clusters + 1;
  endMin_ = type == FatType::Fat12 ? 0xFF8 : type == FatType::Fat16 ? 0xFFF8 : 0x0FFFFFF8;
  if (type == FatType::Fat32 && !IsCluster(rootCluster_)) return false;
  return true;
}

Status Volume::Impl::BlankOrDamaged(std::uint64_t sectors) {
  std::vector<std::uint8_t> chunk(kTransferBytes);
  const std::uint64_t perChunk = kTransferBytes / kDeviceSectorSize;
  for (std::uint64_t at = 0; at < sectors; at += perChunk) {
    const std::uint64_t count = std::min(perChunk, sectors - at);
    if (Status s = ReadBytes(at * kDeviceSectorSize, count * kDeviceSectorSize, chunk.data()); !s) return s;
    for (std::uint64_t i = 0; i < count; ++i) {
      if (!Empty(chunk.data() + i * kDeviceSectorSize)) return {Fault::Damaged};
    }
  }
  return {Fault::Blank};
}

Status Volume::Impl::Load(std::uint64_t sectorCount) {
  const std::uint64_t deviceSectors = device_.SectorCount();
  if (first_ >= deviceSectors) return {Fault::ReadFailed, Failure::Own(FailureKind::Media)};
  const std::uint64_t available = deviceSectors - first_;
  const std::uint64_t volumeSectors = sectorCount == 0 ? available : std::min(sectorCount, available);

  std::vector<std::uint8_t> sector(kDeviceSectorSize);
  if (Status s = ReadBytes(0, kDeviceSectorSize, sector.data()); !s) return s;
  if (!ParseBootSector(sector.data(), volumeSectors)) {
    // FAT32 keeps a copy of its boot sector in sector 6.
    const bool blank = Empty(sector.data());
    std::vector<std::uint8_t> backup(kDeviceSectorSize);
    if (volumeSectors <= kBackupBootSector) return blank ? BlankOrDamaged(volumeSectors) : Status{Fault::NotFat};
    if (Status s = ReadBytes(std::uint64_t{kBackupBootSector} * kDeviceSectorSize, kDeviceSectorSize, backup.data());
        !s)
      return s;
    if (!ParseBootSector(backup.data(), volumeSectors) || type_ != FatType::Fat32 || bytesPerSector_ != 512) {
      if (!blank) return {Fault::NotFat};
      // An empty boot sector: a card never formatted, or a file system whose
      // boot sector was wiped while its FATs and files remain. Only a card
      // never formatted holds nothing to lose.
      return BlankOrDamaged(std::min(volumeSectors, kBlankProbeSectors));
    }
    fromBackup_ = true;
  }

  if (fsInfoSector_ != 0) {
    fsInfo_.resize(bytesPerSector_);
    if (ReadBytes(std::uint64_t{fsInfoSector_} * bytesPerSector_, bytesPerSector_, fsInfo_.data()) &&
        Le32(fsInfo_.data()) == kFsInfoLead && Le32(fsInfo_.data() + 484) == kFsInfoStruct &&
        Le32(fsInfo_.data() + 508) == kFsInfoTrail) {
      const std::uint32_t hint = Le32(fsInfo_.data() + 492);
      if (IsCluster(hint)) nextFree_ = hint;
    } else {
      fsInfo_.clear();  // an FSInfo sector that is not one is left alone
    }
  }
  return LoadFat();
}

std::uint32_t Volume::Impl::GetIn(const std::vector<std::uint8_t>& fat, std::uint32_t c) const {
  switch (type_) {
    case FatType::Fat12: {
      const std::size_t o = c + c / 2;
      const std::uint32_t v = Le16(fat.data() + o);
      return (c & 1) ? v >> 4 : v & 0xFFF;
    }
    case FatType::Fat16:
      return Le16(fat.data() + std::size_t{c} * 2);
    case FatType::Fat32:
      return Le32(fat.data() + std::size_t{c} * 4) & 0x0FFFFFFF;
  }
  return 0;
}

void Volume::Impl::Set(std::uint32_t c, std::uint32_t v) {
  std::size_t o = 0, width = 0;
  switch (type_) {
    case FatType::Fat12: {
      o = c + c / 2;
      width = 2;
      std::uint32_t old = Le16(fat_.data() + o);
      old = (c & 1) ? ((old & 0x000F) | (v & 0xFFF) << 4) : ((old & 0xF000) | (v & 0xFFF));
      Put16(fat_.data() + o, old);
      break;
    }
    case FatType::Fat16:
      o = std::size_t{c} * 2;
      width = 2;
      Put16(fat_.data() + o, v);
      break;
    case FatType::Fat32:
      o = std::size_t{c} * 4;
      width = 4;
      // The top four bits are reserved and keep what they hold.
      Put32(fat_.data() + o, (Le32(fat_.data() + o) & 0xF0000000) | (v & 0x0FFFFFFF));
      break;
  }
  for (std::size_t s = o / bytesPerSector_; s <= (o + width - 1) / bytesPerSector_; ++s) fatDirty_[s] = true;
  fatDirtyAny_ = true;
}

std::uint32_t Volume::Impl::EndValue() const {
  return type_ == FatType::Fat12 ? 0xFFF : type_ == FatType::Fat16 ? 0xFFFF : 0x0FFFFFFF;
}

bool Volume::Impl::FatSound(const std::vector<std::uint8_t>& fat) const {
  // The media descriptor in entry 0, and every entry free, bad, the end of
  // a chain or a cluster of the volume.
  if (fat[0] < 0xF0) return false;
  const std::uint32_t bad = endMin_ - 1;
  for (std::uint32_t c = 2; c <= maxCluster_; ++c) {
    const std::uint32_t v = GetIn(fat, c);
    if (v != 0 && v != bad && !IsEnd(v) && !IsCluster(v)) return false;
  }
  if (type_ == FatType::Fat32) {
    // The root folder's chain must end.
    std::uint32_t c = rootCluster_;
    for (std::uint32_t steps = 0;; ++steps) {
      const std::uint32_t v = GetIn(fat, c);
      if (IsEnd(v)) break;
      if (!IsCluster(v) || steps > kMaxFolderEntries) return false;
      c = v;
    }
  }
  return true;
}

Status Volume::Impl::LoadFat() {
  const std::uint64_t entries = std::uint64_t{clusterCount_} + 2;
  std::uint64_t needed = type_ == FatType::Fat12 ? (entries * 3 + 1) / 2 : entries * (type_ == FatType::Fat16 ? 2 : 4);
  needed = (needed + bytesPerSector_ - 1) / bytesPerSector_ * bytesPerSector_;
  const std::uint64_t fatBytes = std::uint64_t{fatSectors_} * bytesPerSector_;
  needed = std::min(needed, fatBytes);

  // The FAT in use first, then the other copies.
  std::vector<std::uint32_t> order{activeFat_};
  for (std::uint32_t k = 0; k < fatCount_; ++k)
    if (k != activeFat_) order.push_back(k);
  Status firstFailure;
  std::vector<std::uint8_t> fat(static_cast<std::size_t>(needed) + 2);
  for (std::size_t i = 0; i < order.size(); ++i) {
    std::fill(fat.begin(), fat.end(), 0);
    const Status s = ReadBytes(fatOffset_ + order[i] * fatBytes, static_cast<std::size_t>(needed), fat.data());
    const Status why = s ? (FatSound(fat) ? Status{} : Status{Fault::Damaged}) : s;
    if (why) {
      fat_ = std::move(fat);
      fromSecondFat_ = i > 0;
      activeFat_ = order[i];
      break;
    }
    if (i == 0) firstFailure = why;
  }
  if (fat_.empty()) return firstFailure;

  fatDirty_.assign(static_cast<std::size_t>(needed / bytesPerSector_), false);
  // Read through another copy: writing puts that one into every copy.
  if (fromSecondFat_ && options_.writable) {
    std::fill(fatDirty_.begin(), fatDirty_.end(), true);
    fatDirtyAny_ = true;
  }
  freeClusters_ = 0;
  for (std::uint32_t c = 2; c <= maxCluster_; ++c)
    if (Get(c) == 0) ++freeClusters_;
  if (!fsInfo_.empty() && Le32(fsInfo_.data() + 488) != freeClusters_) fsInfoDirty_ = options_.writable;
  return {};
}

VolumeInfo Volume::Impl::Info() const {
  VolumeInfo info;
  info.type = type_;
  info.bytesPerSector = bytesPerSector_;
  info.clusterBytes = clusterBytes_;
  info.clusterCount = clusterCount_;
  info.freeClusters = freeClusters_;
  info.fromBackupBootSector = fromBackup_;
  info.fromSecondFat = fromSecondFat_;
  return info;
}

// ---- Chains and allocation --------------------------------------------

Status Volume::Impl::Chain(std::uint32_t first, std::uint64_t limit, std::vector<std::uint32_t>& out) const {
  out.clear();
  std::uint32_t c = first;
  limit = std::min<std::uint64_t>(limit, clusterCount_);
  while (true) {
    if (!IsCluster(c) || out.size() >= limit) return {Fault::Damaged};
    out.push_back(c);
    const std::uint32_t next = Get(c);
    if (IsEnd(next)) return {};
    c = next;
  }
}

std::uint32_t Volume::Impl::FindFreeRun(std::uint32_t count) {
  if (count >= noRunOf_) return 0;
  // From the hint to the end, then from the start.
  for (int pass = 0; pass < 2; ++pass) {
    std::uint32_t from = pass == 0 ? nextFree_ : 2;
    const std::uint32_t to = pass == 0 ? maxCluster_ : std::min(maxCluster_, nextFree_ + count);
    std::uint32_t run = 0;
    for (std::uint32_t c = from; c <= to; ++c) {
      if (Get(c) != 0) {
        run = 0;
        from = c + 1;
        continue;
      }
      if (++run == count) return from;
    }
  }
  noRunOf_ = count;
  return 0;
}

Status Volume::Impl::Allocate(std::uint32_t count, std::vector<std::uint32_t>& chain) {
  if (count == 0) return {};
  if (!options_.writable) return {Fault::ReadOnly};
  if (count > freeClusters_) return {Fault::NoSpace};
  std::vector<std::uint32_t> picked;
  picked.reserve(count);
  // Each cluster taken is marked at once, so that no search below takes
  // it again.
  auto take = [&](std::uint32_t c) {
    Set(c, EndValue());
    picked.push_back(c);
  };
  // Straight on from the chain's end where that is free; else a free run
  // long enough for the rest; else whatever is free.
  if (!chain.empty())
    for (std::uint32_t c = chain.back() + 1; picked.size() < count && c <= maxCluster_ && Get(c) == 0; ++c) take(c);
  const auto missing = static_cast<std::uint32_t>(count - picked.size());
  if (missing > 0) {
    if (const std::uint32_t start = FindFreeRun(missing); start != 0) {
      for (std::uint32_t k = 0; k < missing; ++k) take(start + k);
    } else {
      for (std::uint32_t k = 0, c = nextFree_; k <= clusterCount_ && picked.size() < count; ++k) {
        if (Get(c) == 0) take(c);
        c = c >= maxCluster_ ? 2 : c + 1;
      }
      if (picked.size() < count) {  // the free count was wrong
        for (std::uint32_t c : picked) Set(c, 0);
        return {Fault::Damaged};
      }
    }
  }
  if (!chain.empty()) Set(chain.back(), picked.front());
  for (std::size_t i = 0; i < picked.size(); ++i) Set(picked[i], i + 1 < picked.size() ? picked[i + 1] : EndValue());
  freeClusters_ -= count;
  nextFree_ = picked.back() == maxCluster_ ? 2 : picked.back() + 1;
  fsInfoDirty_ = !fsInfo_.empty();
  chain.insert(chain.end(), picked.begin(), picked.end());
  return {};
}

void Volume::Impl::Release(const std::vector<std::uint32_t>& clusters) {
  for (std::uint32_t c : clusters) {
    if (!IsCluster(c) || Get(c) == 0) continue;
    Set(c, 0);
    ++freeClusters_;
  }
  noRunOf_ = 0xFFFFFFFF;
  fsInfoDirty_ = !fsInfo_.empty();
}

void Volume::Impl::FreeChain(std::uint32_t first) {
  // Each cluster is freed before the next is looked at, so a chain that
  // runs into itself ends at the first cluster seen twice.
  std::uint32_t c = first;
  for (std::uint32_t steps = 0; IsCluster(c) && steps <= clusterCount_; ++steps) {
    const std::uint32_t next = Get(c);
    if (next == 0) break;
    Set(c, 0);
    ++freeClusters_;
    c = next;
  }
  noRunOf_ = 0xFFFFFFFF;
  fsInfoDirty_ = !fsInfo_.empty();
}

Status Volume::Impl::WriteRuns(const std::vector<std::uint32_t>& clusters, std::size_t from, std::size_t count,
                               const std::uint8_t* bytes) {
  for (std::size_t i = 0; i < count;) {
    std::size_t run = 1;
    while (i + run < count && clusters[from + i + run] == clusters[from + i] + run) ++run;
    if (Status s = WriteBytes(ClusterOffset(clusters[from + i]), run * clusterBytes_, bytes + i * clusterBytes_); !s)
      return s;
    i += run;
  }
  return {};
}

Status Volume::Impl::WriteData(ByteSource& source, const std::optional<std::uint64_t>& expected,
                               std::uint32_t& firstCluster, std::uint32_t& size) {
  if (expected && *expected > kMaxFileSize) return {Fault::TooLarge};
  std::vector<std::uint32_t> chain;
  auto fail = [&](Status s) {
    Release(chain);
    return s;
  };
  // Known sizes get their clusters in one piece, before anything is read.
  if (expected && *expected > 0) {
    const auto clusters = static_cast<std::uint32_t>((*expected + clusterBytes_ - 1) / clusterBytes_);
    if (Status s = Allocate(clusters, chain); !s) return s;
  }
  // Room for a known size, up to the largest transfer.
  std::size_t bufferBytes = std::max<std::size_t>(kTransferBytes / clusterBytes_, 1) * clusterBytes_;
  if (expected)
    bufferBytes = static_cast<std::size_t>(std::min<std::uint64_t>(
        bufferBytes, (std::max<std::uint64_t>(*expected, 1) + clusterBytes_ - 1) / clusterBytes_ * clusterBytes_));
  std::uint8_t* const buffer = Scratch(bufferBytes);
  std::uint64_t total = 0;
  std::size_t used = 0;  // clusters of the chain written
  for (bool end = false; !end;) {
    std::size_t filled = 0;
    while (filled < bufferBytes) {
      const ByteSource::Chunk chunk = source.Read(buffer + filled, bufferBytes - filled);
      if (chunk.failure) return fail({Fault::SourceFailed, chunk.failure});
      if (chunk.bytes == 0) {
        end = true;
        break;
      }
      filled += std::min(chunk.bytes, bufferBytes - filled);
    }
    if (filled == 0) break;
    total += filled;
    if (total > kMaxFileSize) return fail({Fault::TooLarge});
    const std::size_t clusters = (filled + clusterBytes_ - 1) / clusterBytes_;
    std::fill(buffer + filled, buffer + clusters * clusterBytes_, 0);
    if (chain.size() - used < clusters) {
      if (Status s = Allocate(static_cast<std::uint32_t>(clusters - (chain.size() - used)), chain); !s) return fail(s);
    }
    if (Status s = WriteRuns(chain, used, clusters, buffer); !s) return fail(s);
    used += clusters;
  }
  // A source that gave less than announced leaves clusters over.
  if (chain.size() > used) {
    const std::vector<std::uint32_t> surplus(chain.begin() + static_cast<std::ptrdiff_t>(used), chain.end());
    chain.resize(used);
    Release(surplus);
    if (!chain.empty()) Set(chain.back(), EndValue());
  }
  firstCluster = chain.empty() ? 0 : chain.front();
  size = static_cast<std::uint32_t>(total);
  return {};
}

Status Volume::Impl::ReadFile(const Entry& file, ByteSink& sink) {
  if (file.IsFolder()) return {Fault::IsAFolder};
  if (file.size == 0) return {};
  const std::uint64_t clusters = (std::uint64_t{file.size} + clusterBytes_ - 1) / clusterBytes_;
  if (clusters > clusterCount_) return {Fault::Damaged};
  const std::size_t perBuffer = static_cast<std::size_t>(
      std::min<std::uint64_t>(std::max<std::size_t>(kTransferBytes / clusterBytes_, 1), clusters));
  std::uint8_t* const buffer = Scratch(perBuffer * clusterBytes_);
  if (readMarks_.empty() || ++readGeneration_ == 0) {
    readMarks_.assign(std::size_t{maxCluster_} + 1, 0);
    readGeneration_ = 1;
  }
  auto seen = [this](std::uint32_t c) {
    if (readMarks_[c] == readGeneration_) return true;
    readMarks_[c] = readGeneration_;
    return false;
  };
  std::uint64_t left = file.size;
  std::uint32_t c = file.firstCluster;
  for (std::uint64_t done = 0; done < clusters;) {
    // A run of consecutive clusters in one transfer.
    if (!IsCluster(c) || seen(c)) return {Fault::Damaged};
    const std::uint32_t start = c;
    std::size_t run = 1;
    std::uint32_t next = Get(c);
    while (done + run < clusters && run < perBuffer && next == c + 1) {
      c = next;
      if (seen(c)) return {Fault::Damaged};
      next = Get(c);
      ++run;
    }
    if (done + run < clusters && !IsCluster(next)) return {Fault::Damaged};  // the chain ends too soon
    if (Status s = ReadBytes(ClusterOffset(start), run * clusterBytes_, buffer); !s) return s;
    const std::size_t give = static_cast<std::size_t>(std::min<std::uint64_t>(left, run * clusterBytes_));
    if (const Failure f = sink.Write(buffer, give)) return {Fault::SinkFailed, f};
    left -= give;
    done += run;
    c = next;
  }
  return {};
}

// ---- Flushing ---------------------------------------------------------

Status Volume::Impl::Flush() {
  if (!options_.writable) return {};
  if (Status st = WriteTables(); !st) return st;
  if (const Failure f = device_.Flush()) return {Fault::WriteFailed, f};
  return {};
}

Status Volume::Impl::WriteTables() {
  if (!options_.writable) return {};
  if (fatDirtyAny_) {
    const std::uint64_t fatBytes = std::uint64_t{fatSectors_} * bytesPerSector_;
    for (std::size_t s = 0; s < fatDirty_.size();) {
      if (!fatDirty_[s]) {
        ++s;
        continue;
      }
      std::size_t run = 1;
      while (s + run < fatDirty_.size() && fatDirty_[s + run]) ++run;
      for (std::uint32_t k = 0; k < fatCount_; ++k) {
        if (!mirrored_ && k != activeFat_) continue;
        if (Status st = WriteBytes(fatOffset_ + k * fatBytes + s * bytesPerSector_, run * bytesPerSector_,
                                   fat_.data() + s * bytesPerSector_);
            !st)
          return st;
      }
      std::fill(fatDirty_.begin() + static_cast<std::ptrdiff_t>(s),
                fatDirty_.begin() + static_cast<std::ptrdiff_t>(s + run), false);
      s += run;
    }
    fatDirtyAny_ = false;
  }
  if (fsInfoDirty_ && !fsInfo_.empty()) {
    Put32(fsInfo_.data() + 488, freeClusters_);
    Put32(fsInfo_.data() + 492, nextFree_);
    if (Status st = WriteBytes(std::uint64_t{fsInfoSector_} * bytesPerSector_, bytesPerSector_, fsInfo_.data()); !st)
      return st;
    fsInfoDirty_ = false;
  }
  return {};
}

Stamp Volume::Impl::Now() const { return options_.clock ? ToStamp(options_.clock()) : Stamp{}; }

// ---- The public face --------------------------------------------------

OpenResult Volume::Open(SectorDevice& device, std::uint64_t firstSector, std::uint64_t sectorCount,
                        OpenOptions options) {
  auto impl = std::make_unique<Impl>(device, firstSector, std::move(options));
  OpenResult result;
  result.status = impl->Load(sectorCount);
  if (result.status) result.volume.reset(new Volume(std::move(impl)));
  return result;
}

Volume::Volume(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Volume::~Volume() {
  if (impl_->Dirty()) impl_->Flush();
}

VolumeInfo Volume::Info() const { return impl_->Info(); }
Result<Entry> Volume::Find(std::string_view path) { return impl_->Find(path); }
Result<std::vector<Entry>> Volume::List(std::string_view folder) { return impl_->List(folder); }
Status Volume::Walk(std::string_view folder, const Visitor& visit) { return impl_->Walk(folder, visit); }
Status Volume::ReadFile(const Entry& file, ByteSink& sink) { return impl_->ReadFile(file, sink); }
Status Volume::ReadFile(std::string_view path, ByteSink& sink) {
  const Result<Entry> e = impl_->Find(path);
  if (!e.ok()) return e.status;
  return impl_->ReadFile(e.value, sink);
}
Result<Entry> Volume::MakeFolders(std::string_view path, const CreateOptions& options) {
  return impl_->MakeFolders(path, options);
}
Result<Entry> Volume::WriteFile(std::string_view path, ByteSource& source, const CreateOptions& options) {
  return impl_->WriteFile(path, source, options);
}
Status Volume::SetAttributes(std::string_view path, std::uint8_t attributes) {
  return impl_->SetAttributes(path, attributes);
}
Status Volume::Remove(std::string_view path) { return impl_->Remove(path, false); }
Status Volume::RemoveTree(std::string_view path) { return impl_->Remove(path, true); }
Status Volume::Flush() { return impl_->Flush(); }
std::vector<std::string> Volume::Check() { return impl_->Check(); }

}  // namespace tessarin::fat
