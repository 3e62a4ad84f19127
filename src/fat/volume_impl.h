// The volume's inner workings, shared by the files that implement it; not
// for use outside src/fat.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fat/fat_volume.h"

namespace tessarin::fat {

inline constexpr std::uint32_t kEntryBytes = 32;
inline constexpr std::uint32_t kMaxFolderEntries = 65536;
inline constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;

// One name of a folder: its long-name slots (if any) and its short entry.
struct Item {
  Entry entry;
  std::uint32_t firstSlot = 0;
  std::uint32_t shortSlot = 0;
  bool live = true;
};

// A folder held in memory as the card has it, with the indexes that make
// lookups and short-name searches independent of its size.
struct Dir {
  std::uint32_t key = 0;  // first cluster; 0 for the fixed root of FAT12/16
  bool fixedRoot = false;
  std::vector<std::uint32_t> clusters;
  std::vector<std::uint8_t> bytes;
  std::vector<Item> items;
  // By folded long name (short-only entries by their shown short name).
  std::unordered_map<std::string, std::uint32_t> byLong;
  // By folded short name.
  std::unordered_map<std::string, std::uint32_t> byShort;
  std::unordered_set<std::string> shortKeys;  // the stored 11 bytes
  std::uint32_t freeHint = 0;

  std::uint32_t SlotCount() const { return static_cast<std::uint32_t>(bytes.size() / kEntryBytes); }
  // cppcheck-suppress CastIntegerToAddressAtReturn ; data() plus an offset is a pointer
  std::uint8_t* Slot(std::uint32_t i) { return bytes.data() + std::size_t{i} * kEntryBytes; }
  // cppcheck-suppress CastIntegerToAddressAtReturn
  const std::uint8_t* Slot(std::uint32_t i) const { return bytes.data() + std::size_t{i} * kEntryBytes; }
};

class Volume::Impl {
 public:
  Impl(SectorDevice& device, std::uint64_t firstSector, OpenOptions options)
      : device_(device), first_(firstSector), options_(std::move(options)) {}

  Status Load(std::uint64_t sectorCount);
  VolumeInfo Info() const;

  // Paths.
  Result<Entry> Find(std::string_view path);
  Result<std::vector<Entry>> List(std::string_view folder);
  Status Walk(std::string_view folder, const Visitor& visit);
  Status ReadFile(const Entry& file, ByteSink& sink);
  Result<Entry> MakeFolders(std::string_view path, const CreateOptions& options);
  Result<Entry> WriteFile(std::string_view path, ByteSource& source, const CreateOptions& options);
  Status SetAttributes(std::string_view path, std::uint8_t attributes);
  Status Remove(std::string_view path, bool tree);
  Status Flush();
  // The FATs and the FSInfo sector as they stand in memory onto the
  // device, without its flush.
  Status WriteTables();
  std::vector<std::string> Check();
  bool Dirty() const { return fatDirtyAny_ || fsInfoDirty_; }

 private:
  // Device access in bytes from the volume's start; offsets and lengths
  // are whole device sectors.
  Status ReadBytes(std::uint64_t offset, std::size_t length, std::uint8_t* out);
  // Blank when the volume's first sectors hold nothing, Damaged otherwise.
  Status BlankOrDamaged(std::uint64_t sectors);
  Status WriteBytes(std::uint64_t offset, std::size_t length, const std::uint8_t* in);

  // The boot sector.
  bool ParseBootSector(const std::uint8_t* sector, std::uint64_t volumeSectors);
  Status LoadFat();
  bool FatSound(const std::vector<std::uint8_t>& fat) const;

  // FAT entries.
  std::uint32_t Get(std::uint32_t cluster) const { return GetIn(fat_, cluster); }
  std::uint32_t GetIn(const std::vector<std::uint8_t>& fat, std::uint32_t cluster) const;
  void Set(std::uint32_t cluster, std::uint32_t value);
  bool IsCluster(std::uint32_t v) const { return v >= 2 && v <= maxCluster_; }
  bool IsEnd(std::uint32_t v) const { return v >= endMin_; }
  std::uint32_t EndValue() const;
  std::uint64_t ClusterOffset(std::uint32_t cluster) const {
    return dataOffset_ + std::uint64_t{cluster - 2} * clusterBytes_;
  }
  // Follows a chain from first: no more than limit clusters, each a valid
  // cluster, ending with the end mark.
  Status Chain(std::uint32_t first, std::uint64_t limit, std::vector<std::uint32_t>& out) const;

  // Allocation.
  Status Allocate(std::uint32_t count, std::vector<std::uint32_t>& chain);
  void FreeChain(std::uint32_t first);
  void Release(const std::vector<std::uint32_t>& clusters);
  std::uint32_t FindFreeRun(std::uint32_t count);
  Status WriteData(ByteSource& source, const std::optional<std::uint64_t>& expected, std::uint32_t& firstCluster,
                   std::uint32_t& size);
  Status WriteRuns(const std::vector<std::uint32_t>& clusters, std::size_t from, std::size_t count,
                   const std::uint8_t* bytes);

  // Folders (fat_directory.cpp).
  Result<std::shared_ptr<Dir>> LoadDir(std::uint32_t key, bool cache);
  Result<std::shared_ptr<Dir>> DirOf(const Entry& folder);
  Result<std::shared_ptr<Dir>> RootDir();
  void Parse(Dir& dir);
  void Index(Dir& dir, std::uint32_t item);
  void Unindex(Dir& dir, std::uint32_t item);
  // The folder that holds the last component of path, and that component.
  Status Resolve(std::string_view path, std::shared_ptr<Dir>& parent, std::string& name, Item** item);
  // The entry at path and its folder, to be changed: not found is a fault.
  Status Existing(std::string_view path, std::shared_ptr<Dir>& dir, Item*& item);
  const Item* Lookup(const Dir& dir, const std::string& folded) const;
  Status WriteSlots(Dir& dir, std::uint32_t first, std::uint32_t count);
  Result<std::uint32_t> FreeSlots(Dir& dir, std::uint32_t count);
  bool ShortNameFree(const Dir& dir, const ShortName& name) const;
  ShortName ChooseShortName(const Dir& dir, const std::u16string& longName, const Basis& basis,
                            const std::optional<std::string>& requested) const;
  Result<Entry> Insert(Dir& dir, const std::string& name, std::uint8_t attributes, std::uint32_t firstCluster,
                       std::uint32_t size, const Stamp& modified, const std::optional<std::string>& requested);
  Status Delete(Dir& dir, std::uint32_t item);
  Result<Entry> MakeFolder(Dir& parent, const std::string& name, const CreateOptions& options, bool last);
  Status RemoveTree(Dir& parent, std::uint32_t item, std::unordered_set<std::uint32_t>& seen, int depth);
  Status WalkDir(const Entry& folder, const std::string& prefix, const Visitor& visit,
                 std::unordered_set<std::uint32_t>& seen, bool& stopped);
  Entry RootEntry() const;
  Stamp Now() const;

  SectorDevice& device_;
  std::uint64_t first_;
  OpenOptions options_;

  FatType type_ = FatType::Fat32;
  std::uint32_t bytesPerSector_ = 512;
  std::uint32_t sectorsPerCluster_ = 1;
  std::uint32_t clusterBytes_ = 512;
  std::uint32_t fatCount_ = 2;
  std::uint32_t fatSectors_ = 0;  // of one FAT
  std::uint32_t rootEntries_ = 0;
  std::uint64_t fatOffset_ = 0;
  std::uint64_t rootOffset_ = 0;
  std::uint64_t dataOffset_ = 0;
  std::uint32_t clusterCount_ = 0;
  std::uint32_t maxCluster_ = 0;
  std::uint32_t endMin_ = 0;
  std::uint32_t rootCluster_ = 0;
  std::uint32_t fsInfoSector_ = 0;
  std::uint32_t activeFat_ = 0;
  bool mirrored_ = true;
  bool fromBackup_ = false;
  bool fromSecondFat_ = false;

  std::vector<std::uint8_t> fat_;
  std::vector<bool> fatDirty_;  // by FAT sector
  bool fatDirtyAny_ = false;
  std::uint32_t freeClusters_ = 0;
  std::uint32_t nextFree_ = 2;
  std::uint32_t noRunOf_ = 0xFFFFFFFF;  // no free run this long exists
  std::vector<std::uint8_t> fsInfo_;
  bool fsInfoDirty_ = false;

  // The transfer buffer, kept between calls: at most 1 MiB.
  std::uint8_t* Scratch(std::size_t bytes) {
    if (scratch_.size() < bytes) scratch_.resize(bytes);
    return scratch_.data();
  }
  std::vector<std::uint8_t> scratch_;

  // Clusters met by the current read, by read: a chain that comes back to
  // a cluster is damaged.
  std::vector<std::uint32_t> readMarks_;
  std::uint32_t readGeneration_ = 0;

  std::unordered_map<std::uint32_t, std::shared_ptr<Dir>> dirs_;
  std::size_t cachedBytes_ = 0;

  friend class Volume;
};

// Little-endian fields.
inline std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
inline void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

}  // namespace tessarin::fat
