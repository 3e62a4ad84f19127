// Folders: reading them into memory with their indexes, finding names,
// and adding and removing entries, written through to the card at once.
#include <algorithm>
#include <array>
#include <cstring>

#include "fat/volume_impl.h"

namespace tessarin::fat {
namespace {

constexpr std::uint32_t kNoItem = 0xFFFFFFFF;
constexpr std::size_t kCacheBytes = 32u << 20;  // folders kept in memory between calls
constexpr int kMaxDepth = 1024;                 // deeper than any path a program on the panel can name
constexpr std::uint8_t kChangeableAttributes = kReadOnly | kHidden | kSystem | kArchive;
constexpr std::size_t kUnitsPerSlot = 13;
constexpr std::size_t kUnitOffsets[kUnitsPerSlot] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

std::string Key(const ShortName& name) { return std::string(name.begin(), name.end()); }

void EncodeShort(std::uint8_t* p, const ShortName& name, std::uint8_t attributes, std::uint8_t caseFlags,
                 std::uint32_t cluster, std::uint32_t size, const Stamp& created, const Stamp& modified,
                 std::uint16_t accessed) {
  std::memset(p, 0, kEntryBytes);
  std::memcpy(p, name.data(), name.size());
  if (p[0] == 0xE5) p[0] = 0x05;  // 0xE5 marks a deleted entry
  p[11] = attributes;
  p[12] = caseFlags;
  p[13] = created.hundredths;
  Put16(p + 14, created.time);
  Put16(p + 16, created.date);
  Put16(p + 18, accessed);
  Put16(p + 20, cluster >> 16);
  Put16(p + 22, modified.time);
  Put16(p + 24, modified.date);
  Put16(p + 26, cluster & 0xFFFF);
  Put32(p + 28, size);
}

ShortName DotName(bool twoDots) {
  ShortName n;
  n.fill(' ');
  n[0] = '.';
  if (twoDots) n[1] = '.';
  return n;
}

}  // namespace

Entry Volume::Impl::RootEntry() const {
  Entry root;
  root.attributes = kFolder;
  root.firstCluster = type_ == FatType::Fat32 ? rootCluster_ : 0;
  return root;
}

Result<std::shared_ptr<Dir>> Volume::Impl::RootDir() { return LoadDir(RootEntry().firstCluster, true); }

Result<std::shared_ptr<Dir>> Volume::Impl::DirOf(const Entry& folder) {
  if (!folder.IsFolder()) return {{Fault::NotAFolder}, nullptr};
  // Only the root may be cluster 0, and only the root has no name.
  if (folder.firstCluster == 0 && (type_ == FatType::Fat32 || !folder.name.empty())) return {{Fault::Damaged}, nullptr};
  return LoadDir(folder.firstCluster, true);
}

Result<std::shared_ptr<Dir>> Volume::Impl::LoadDir(std::uint32_t key, bool cache) {
  if (const auto it = dirs_.find(key); it != dirs_.end()) return {{}, it->second};
  auto dir = std::make_shared<Dir>();
  dir->key = key;
  if (key == 0) {
    if (type_ == FatType::Fat32) return {{Fault::Damaged}, nullptr};
    dir->fixedRoot = true;
    dir->bytes.resize(static_cast<std::size_t>(dataOffset_ - rootOffset_));
    if (Status s = ReadBytes(rootOffset_, dir->bytes.size(), dir->bytes.data()); !s) return {s, nullptr};
  } else {
    const std::uint64_t limit = (std::uint64_t{kMaxFolderEntries} * kEntryBytes + clusterBytes_ - 1) / clusterBytes_;
    if (Status s = Chain(key, limit, dir->clusters); !s) return {s, nullptr};
    dir->bytes.resize(dir->clusters.size() * clusterBytes_);
    for (std::size_t i = 0; i < dir->clusters.size();) {
      std::size_t run = 1;
      while (i + run < dir->clusters.size() && dir->clusters[i + run] == dir->clusters[i] + run) ++run;
      if (Status s =
              ReadBytes(ClusterOffset(dir->clusters[i]), run * clusterBytes_, dir->bytes.data() + i * clusterBytes_);
          !s)
        return {s, nullptr};
      i += run;
    }
  }
  Parse(*dir);
  if (cache) {
    if (cachedBytes_ + dir->bytes.size() > kCacheBytes) {
      dirs_.clear();
      cachedBytes_ = 0;
    }
    dirs_[key] = dir;
    cachedBytes_ += dir->bytes.size();
  }
  return {{}, dir};
}

void Volume::Impl::Parse(Dir& dir) {
  const std::uint32_t slots = dir.fixedRoot ? std::min(dir.SlotCount(), rootEntries_) : dir.SlotCount();
  std::u16string units;
  std::uint32_t expect = 0;  // the next long-name ordinal looked for
  bool complete = false;     // a whole long name waits for its short entry
  std::uint8_t checksum = 0;
  std::uint32_t lfnStart = 0;
  std::uint32_t i = 0;
  for (; i < slots; ++i) {
    const std::uint8_t* p = dir.Slot(i);
    if (p[0] == 0x00) break;
    if (p[0] == 0xE5) {
      expect = 0;
      complete = false;
      continue;
    }
    if ((p[11] & 0x3F) == kLongNameEntry) {
      const std::uint32_t ordinal = p[0] & 0x1F;
      if (p[0] & 0x40) {
        complete = false;
        if (ordinal == 0 || ordinal * kUnitsPerSlot > kMaxLongNameUnits + kUnitsPerSlot) {
          expect = 0;
          continue;
        }
        units.assign(ordinal * kUnitsPerSlot, u'\0');
        checksum = p[13];
        lfnStart = i;
      } else if (expect == 0 || ordinal != expect || p[13] != checksum) {
        expect = 0;
        complete = false;
        continue;
      }
      for (std::size_t k = 0; k < kUnitsPerSlot; ++k)
        units[(ordinal - 1) * kUnitsPerSlot + k] = static_cast<char16_t>(Le16(p + kUnitOffsets[k]));
      expect = ordinal - 1;
      complete = expect == 0;
      continue;
    }
    const bool hadName = complete;
    expect = 0;
    complete = false;
    if ((p[11] & kVolumeLabel) != 0 && (p[11] & kFolder) == 0) continue;  // the volume label
    if (p[0] == '.') continue;                                            // "." and ".."

    Item item;
    Entry& e = item.entry;
    std::memcpy(e.rawShortName.data(), p, 11);
    if (e.rawShortName[0] == 0x05) e.rawShortName[0] = 0xE5;
    e.attributes = p[11];
    e.caseFlags = p[12] & (kLowerBase | kLowerExtension);
    e.created = {Le16(p + 16), Le16(p + 14), p[13]};
    e.accessed = Le16(p + 18);
    e.firstCluster = (type_ == FatType::Fat32 ? std::uint32_t{Le16(p + 20)} << 16 : 0) | Le16(p + 26);
    e.modified = {Le16(p + 24), Le16(p + 22), 0};
    e.size = Le32(p + 28);
    e.shortName = ShortNameText(e.rawShortName);
    if (hadName && ShortNameChecksum(e.rawShortName) == checksum) {
      const std::size_t end = units.find(u'\0');
      const std::u16string_view name(units.data(), end == std::u16string::npos ? units.size() : end);
      if (!name.empty() && name.size() <= kMaxLongNameUnits) {
        e.name = Utf16ToUtf8(name);
        e.longName = true;
        item.firstSlot = lfnStart;
      }
    }
    if (!e.longName) {
      e.name = ShortNameText(e.rawShortName, e.caseFlags);
      item.firstSlot = i;
    }
    item.shortSlot = i;
    dir.items.push_back(std::move(item));
  }
  for (std::uint32_t k = 0; k < dir.items.size(); ++k) Index(dir, k);
  // The first slot a new entry may take.
  dir.freeHint = 0;
  while (dir.freeHint < slots && dir.Slot(dir.freeHint)[0] != 0x00 && dir.Slot(dir.freeHint)[0] != 0xE5) ++dir.freeHint;
}

void Volume::Impl::Index(Dir& dir, std::uint32_t item) {
  const Entry& e = dir.items[item].entry;
  dir.shortKeys.insert(Key(e.rawShortName));
  dir.byShort.emplace(FoldName(e.shortName), item);
  dir.byLong.emplace(FoldName(e.name), item);
}

void Volume::Impl::Unindex(Dir& dir, std::uint32_t item) {
  const Entry& e = dir.items[item].entry;
  dir.shortKeys.erase(Key(e.rawShortName));
  if (const auto it = dir.byShort.find(FoldName(e.shortName)); it != dir.byShort.end() && it->second == item)
    dir.byShort.erase(it);
  if (const auto it = dir.byLong.find(FoldName(e.name)); it != dir.byLong.end() && it->second == item)
    dir.byLong.erase(it);
}

const Item* Volume::Impl::Lookup(const Dir& dir, const std::string& folded) const {
  if (const auto it = dir.byLong.find(folded); it != dir.byLong.end()) return &dir.items[it->second];
  if (const auto it = dir.byShort.find(folded); it != dir.byShort.end()) return &dir.items[it->second];
  return nullptr;
}

Status Volume::Impl::Resolve(std::string_view path, std::shared_ptr<Dir>& parent, std::string& name, Item** item) {
  const std::vector<std::string> parts = SplitPath(path);
  if (parts.empty()) return {Fault::NotFound};
  Result<std::shared_ptr<Dir>> dir = RootDir();
  if (!dir.ok()) return dir.status;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const Item* found = Lookup(*dir.value, FoldName(parts[i]));
    if (found == nullptr) return {Fault::NotFound};
    const Entry folder = found->entry;
    dir = DirOf(folder);
    if (!dir.ok()) return dir.status;
  }
  parent = dir.value;
  name = parts.back();
  *item = const_cast<Item*>(Lookup(*parent, FoldName(name)));
  return {};
}

Result<Entry> Volume::Impl::Find(std::string_view path) {
  if (SplitPath(path).empty()) {
    if (Result<std::shared_ptr<Dir>> root = RootDir(); !root.ok()) return {root.status, {}};
    return {{}, RootEntry()};
  }
  std::shared_ptr<Dir> parent;
  std::string name;
  Item* item = nullptr;
  if (Status s = Resolve(path, parent, name, &item); !s) return {s, {}};
  if (item == nullptr) return {{Fault::NotFound}, {}};
  return {{}, item->entry};
}

Result<std::vector<Entry>> Volume::Impl::List(std::string_view folder) {
  const Result<Entry> found = Find(folder);
  if (!found.ok()) return {found.status, {}};
  const Result<std::shared_ptr<Dir>> dir = DirOf(found.value);
  if (!dir.ok()) return {dir.status, {}};
  std::vector<Entry> entries;
  for (const Item& item : dir.value->items)
    if (item.live) entries.push_back(item.entry);
  return {{}, std::move(entries)};
}

Status Volume::Impl::Walk(std::string_view folder, const Visitor& visit) {
  const Result<Entry> found = Find(folder);
  if (!found.ok()) return found.status;
  if (!found.value.IsFolder()) return {Fault::NotAFolder};
  std::unordered_set<std::uint32_t> seen{found.value.firstCluster};
  bool stopped = false;
  return WalkDir(found.value, "", visit, seen, stopped);
}

Status Volume::Impl::WalkDir(const Entry& folder, const std::string& prefix, const Visitor& visit,
                             std::unordered_set<std::uint32_t>& seen, bool& stopped) {
  if (std::count(prefix.begin(), prefix.end(), '/') >= kMaxDepth) return {Fault::Damaged};
  Result<std::shared_ptr<Dir>> dir = DirOf(folder);
  if (!dir.ok()) return dir.status;
  const std::shared_ptr<Dir> held = dir.value;  // the cache may let go of it meanwhile
  for (std::size_t i = 0; i < held->items.size(); ++i) {
    const Item& item = held->items[i];
    if (!item.live) continue;
    const std::string path = prefix + item.entry.name;
    if (!visit(path, item.entry)) {
      stopped = true;
      return {};
    }
    if (!item.entry.IsFolder()) continue;
    if (item.entry.firstCluster == 0 || !seen.insert(item.entry.firstCluster).second) return {Fault::Damaged};
    if (Status s = WalkDir(item.entry, path + "/", visit, seen, stopped); !s || stopped) return s;
  }
  return {};
}

Status Volume::Impl::WriteSlots(Dir& dir, std::uint32_t first, std::uint32_t count) {
  std::size_t pos = std::size_t{first} * kEntryBytes / kDeviceSectorSize * kDeviceSectorSize;
  const std::size_t end =
      (std::size_t{first + count} * kEntryBytes + kDeviceSectorSize - 1) / kDeviceSectorSize * kDeviceSectorSize;
  while (pos < end) {
    if (dir.fixedRoot) return WriteBytes(rootOffset_ + pos, end - pos, dir.bytes.data() + pos);
    const std::size_t within = pos % clusterBytes_;
    const std::size_t length = std::min(end - pos, clusterBytes_ - within);
    if (Status s =
            WriteBytes(ClusterOffset(dir.clusters[pos / clusterBytes_]) + within, length, dir.bytes.data() + pos);
        !s)
      return s;
    pos += length;
  }
  return {};
}

Result<std::uint32_t> Volume::Impl::FreeSlots(Dir& dir, std::uint32_t count) {
  const std::uint32_t capacity = dir.fixedRoot ? std::min(dir.SlotCount(), rootEntries_) : dir.SlotCount();
  std::uint32_t run = 0, start = 0, firstFree = kNoItem;
  for (std::uint32_t i = dir.freeHint; i < capacity; ++i) {
    const std::uint8_t b = dir.Slot(i)[0];
    if (b != 0x00 && b != 0xE5) {
      run = 0;
      continue;
    }
    if (firstFree == kNoItem) firstFree = i;
    if (run++ == 0) start = i;
    if (run == count) {
      dir.freeHint = firstFree == start ? start + count : firstFree;
      return {{}, start};
    }
  }
  if (dir.fixedRoot) return {{Fault::FolderFull}, 0};
  // The folder grows by zeroed clusters, up to 65,536 entries.
  if (run == 0) start = capacity;
  const std::uint32_t missing = count - run;
  const auto clusters =
      static_cast<std::uint32_t>((std::uint64_t{missing} * kEntryBytes + clusterBytes_ - 1) / clusterBytes_);
  if (std::uint64_t{capacity} + std::uint64_t{clusters} * clusterBytes_ / kEntryBytes > kMaxFolderEntries)
    return {{Fault::FolderFull}, 0};
  const std::size_t before = dir.clusters.size();
  if (Status s = Allocate(clusters, dir.clusters); !s) return {s, 0};
  const std::vector<std::uint8_t> zeros(clusterBytes_, 0);
  for (std::size_t i = before; i < dir.clusters.size(); ++i) {
    if (Status s = WriteBytes(ClusterOffset(dir.clusters[i]), clusterBytes_, zeros.data()); !s) {
      const std::vector<std::uint32_t> added(dir.clusters.begin() + static_cast<std::ptrdiff_t>(before),
                                             dir.clusters.end());
      dir.clusters.resize(before);
      Release(added);
      Set(dir.clusters.back(), EndValue());
      return {s, 0};
    }
  }
  dir.bytes.resize(dir.clusters.size() * clusterBytes_, 0);
  if (dir.key != 0 && dirs_.count(dir.key)) cachedBytes_ += (dir.clusters.size() - before) * clusterBytes_;
  dir.freeHint = firstFree == kNoItem || firstFree == start ? start + count : firstFree;
  return {{}, start};
}

bool Volume::Impl::ShortNameFree(const Dir& dir, const ShortName& name) const {
  return dir.shortKeys.count(Key(name)) == 0 && dir.byLong.count(FoldName(ShortNameText(name))) == 0;
}

ShortName Volume::Impl::ChooseShortName(const Dir& dir, const std::u16string& longName, const Basis& basis,
                                        const std::optional<std::string>& requested) const {
  // An 8.3 name stands for itself.
  if (basis.fits && ShortNameFree(dir, basis.name)) return basis.name;
  if (!basis.fits && requested) {
    if (const auto wanted = ParseShortName(*requested); wanted && ShortNameFree(dir, *wanted)) return *wanted;
  }
  // Windows' order: ~1 to ~4, then hashed names, each looked up in the
  // folder's index.
  for (std::uint32_t n = 1; n <= 4; ++n)
    if (const ShortName c = WithNumericTail(basis.name, n); ShortNameFree(dir, c)) return c;
  for (std::uint32_t round = 0; round < 16; ++round) {
    const std::uint16_t hash = LongNameHash(longName, round);
    for (std::uint32_t n = 1; n <= 9; ++n)
      if (const ShortName c = WithHashedTail(basis.name, hash, n); ShortNameFree(dir, c)) return c;
  }
  // A folder holds at most 65,536 names, so this ends.
  for (std::uint32_t n = 5;; ++n)
    if (const ShortName c = WithNumericTail(basis.name, n); ShortNameFree(dir, c)) return c;
}

Result<Entry> Volume::Impl::Insert(Dir& dir, const std::string& name, std::uint8_t attributes,
                                   std::uint32_t firstCluster, std::uint32_t size, const Stamp& modified,
                                   const std::optional<std::string>& requested) {
  const std::optional<std::u16string> wide = Utf8ToUtf16(name);
  if (!wide) return {{Fault::NameNotAllowed}, {}};
  const Basis basis = MakeBasis(*wide);
  const ShortName shortName = ChooseShortName(dir, *wide, basis, requested);
  const bool longName = !(basis.fits && basis.caseFlagsOk && shortName == basis.name);
  const std::uint8_t caseFlags = longName ? 0 : basis.caseFlags;
  const auto lfnSlots = static_cast<std::uint32_t>(longName ? (wide->size() + kUnitsPerSlot - 1) / kUnitsPerSlot : 0);

  const std::uint32_t hintBefore = dir.freeHint;
  const Result<std::uint32_t> slot = FreeSlots(dir, lfnSlots + 1);
  if (!slot.ok()) return {slot.status, {}};
  const std::uint32_t first = slot.value;
  const std::vector<std::uint8_t> before(dir.Slot(first), dir.Slot(first) + (std::size_t{lfnSlots} + 1) * kEntryBytes);

  const Stamp created = options_.clock ? ToStamp(options_.clock()) : Stamp{};
  const std::uint8_t sum = ShortNameChecksum(shortName);
  for (std::uint32_t ordinal = 1; ordinal <= lfnSlots; ++ordinal) {
    std::uint8_t* p = dir.Slot(first + lfnSlots - ordinal);
    std::memset(p, 0, kEntryBytes);
    p[0] = static_cast<std::uint8_t>(ordinal | (ordinal == lfnSlots ? 0x40 : 0));
    p[11] = kLongNameEntry;
    p[13] = sum;
    for (std::size_t k = 0; k < kUnitsPerSlot; ++k) {
      const std::size_t at = (ordinal - 1) * kUnitsPerSlot + k;
      const std::uint16_t unit = at < wide->size() ? (*wide)[at] : at == wide->size() ? 0x0000 : 0xFFFF;
      Put16(p + kUnitOffsets[k], unit);
    }
  }
  EncodeShort(dir.Slot(first + lfnSlots), shortName, attributes, caseFlags, firstCluster, size, created, modified,
              created.date);
  // The chain the entry points at (and the folder's own, when it grew) in
  // the FATs before the entry itself: a write that is the last one leaves
  // at worst clusters that belong to nothing, never an entry whose
  // clusters the FAT calls free.
  Status s = WriteTables();
  if (s) s = WriteSlots(dir, first, lfnSlots + 1);
  if (!s) {
    std::copy(before.begin(), before.end(), dir.Slot(first));
    dir.freeHint = std::min(hintBefore, first);
    return {s, {}};
  }

  Item item;
  Entry& e = item.entry;
  e.name = name;
  e.longName = longName;
  e.rawShortName = shortName;
  e.shortName = ShortNameText(shortName);
  e.attributes = attributes;
  e.caseFlags = caseFlags;
  e.size = size;
  e.firstCluster = firstCluster;
  e.created = created;
  e.modified = modified;
  e.accessed = created.date;
  item.firstSlot = first;
  item.shortSlot = first + lfnSlots;
  dir.items.push_back(item);
  Index(dir, static_cast<std::uint32_t>(dir.items.size() - 1));
  return {{}, e};
}

Status Volume::Impl::Delete(Dir& dir, std::uint32_t index) {
  Item& item = dir.items[index];
  for (std::uint32_t s = item.firstSlot; s <= item.shortSlot; ++s) dir.Slot(s)[0] = 0xE5;
  Unindex(dir, index);
  item.live = false;
  dir.freeHint = std::min(dir.freeHint, item.firstSlot);
  return WriteSlots(dir, item.firstSlot, item.shortSlot - item.firstSlot + 1);
}

Result<Entry> Volume::Impl::MakeFolder(Dir& parent, const std::string& name, const CreateOptions& options, bool last) {
  std::vector<std::uint32_t> chain;
  if (Status s = Allocate(1, chain); !s) return {s, {}};
  const Stamp stamp = last && options.modified ? *options.modified : Now();
  const std::uint32_t parentCluster = parent.fixedRoot || parent.key == rootCluster_ ? 0 : parent.key;
  std::array<std::uint8_t, std::size_t{2} * kEntryBytes> dots{};
  EncodeShort(dots.data(), DotName(false), kFolder, 0, chain[0], 0, stamp, stamp, stamp.date);
  EncodeShort(dots.data() + kEntryBytes, DotName(true), kFolder, 0, parentCluster, 0, stamp, stamp, stamp.date);
  std::vector<std::uint8_t> cluster(clusterBytes_, 0);
  std::copy(dots.begin(), dots.end(), cluster.begin());
  if (Status s = WriteBytes(ClusterOffset(chain[0]), clusterBytes_, cluster.data()); !s) {
    Release(chain);
    return {s, {}};
  }
  const std::uint8_t attributes = static_cast<std::uint8_t>(
      kFolder | (last && options.attributes ? *options.attributes & kChangeableAttributes : 0));
  Result<Entry> made =
      Insert(parent, name, attributes, chain[0], 0, stamp, last ? options.shortName : std::optional<std::string>());
  if (!made.ok()) Release(chain);
  return made;
}

Result<Entry> Volume::Impl::MakeFolders(std::string_view path, const CreateOptions& options) {
  const std::vector<std::string> parts = SplitPath(path);
  Result<std::shared_ptr<Dir>> dir = RootDir();
  if (!dir.ok()) return {dir.status, {}};
  Entry current = RootEntry();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (CheckLongName(parts[i]) != NameProblem::None) return {{Fault::NameNotAllowed}, {}};
    if (const Item* found = Lookup(*dir.value, FoldName(parts[i])); found != nullptr) {
      current = found->entry;
      if (!current.IsFolder()) return {{Fault::NotAFolder}, {}};
    } else {
      if (!options_.writable) return {{Fault::ReadOnly}, {}};
      Result<Entry> made = MakeFolder(*dir.value, parts[i], options, i + 1 == parts.size());
      if (!made.ok()) return made;
      current = made.value;
    }
    dir = DirOf(current);
    if (!dir.ok()) return {dir.status, {}};
  }
  return {{}, current};
}

Result<Entry> Volume::Impl::WriteFile(std::string_view path, ByteSource& source, const CreateOptions& options) {
  if (!options_.writable) return {{Fault::ReadOnly}, {}};
  std::shared_ptr<Dir> dir;
  std::string name;
  Item* existing = nullptr;
  if (SplitPath(path).empty()) return {{Fault::IsAFolder}, {}};
  if (Status s = Resolve(path, dir, name, &existing); !s) return {s, {}};
  if (CheckLongName(name) != NameProblem::None) return {{Fault::NameNotAllowed}, {}};

  // The same name, up to case, is the same file; a name that is only
  // another entry's short name belongs to that entry.
  std::uint32_t replaced = kNoItem;
  if (existing != nullptr) {
    const std::string folded = FoldName(name);
    const auto byLong = dir->byLong.find(folded);
    if (byLong == dir->byLong.end()) return {{Fault::NameClash}, {}};
    if (existing->entry.IsFolder()) return {{Fault::IsAFolder}, {}};
    if (!options.replace) return {{Fault::NameClash}, {}};
    replaced = byLong->second;
  }

  std::uint32_t firstCluster = 0, size = 0;
  if (Status s = WriteData(source, options.size, firstCluster, size); !s) return {s, {}};
  if (replaced != kNoItem) {
    const std::uint32_t oldChain = dir->items[replaced].entry.firstCluster;
    if (Status s = Delete(*dir, replaced); !s) {
      FreeChain(firstCluster);
      return {s, {}};
    }
    FreeChain(oldChain);
  }
  const std::uint8_t attributes =
      static_cast<std::uint8_t>(options.attributes ? *options.attributes & kChangeableAttributes : kArchive);
  Result<Entry> made = Insert(*dir, name, attributes, firstCluster, size, options.modified ? *options.modified : Now(),
                              options.shortName);
  if (!made.ok()) FreeChain(firstCluster);
  return made;
}

Status Volume::Impl::Existing(std::string_view path, std::shared_ptr<Dir>& dir, Item*& item) {
  if (!options_.writable) return {Fault::ReadOnly};
  std::string name;
  if (Status s = Resolve(path, dir, name, &item); !s) return s;
  if (item == nullptr) return {Fault::NotFound};
  return {};
}

Status Volume::Impl::SetAttributes(std::string_view path, std::uint8_t attributes) {
  std::shared_ptr<Dir> dir;
  Item* item = nullptr;
  if (Status s = Existing(path, dir, item); !s) return s;
  std::uint8_t* p = dir->Slot(item->shortSlot);
  const auto updated =
      static_cast<std::uint8_t>((p[11] & ~kChangeableAttributes) | (attributes & kChangeableAttributes));
  if (updated == p[11]) return {};
  const std::uint8_t old = p[11];
  p[11] = updated;
  if (Status s = WriteSlots(*dir, item->shortSlot, 1); !s) {
    p[11] = old;
    return s;
  }
  item->entry.attributes = updated;
  return {};
}

Status Volume::Impl::RemoveTree(Dir& parent, std::uint32_t index, std::unordered_set<std::uint32_t>& seen, int depth) {
  const Entry folder = parent.items[index].entry;
  if (depth > kMaxDepth || folder.firstCluster == 0 || !seen.insert(folder.firstCluster).second)
    return {Fault::Damaged};
  Result<std::shared_ptr<Dir>> dir = DirOf(folder);
  if (!dir.ok()) return dir.status;
  const std::shared_ptr<Dir> held = dir.value;
  for (std::uint32_t i = 0; i < held->items.size(); ++i) {
    if (!held->items[i].live) continue;
    if (held->items[i].entry.IsFolder()) {
      if (Status s = RemoveTree(*held, i, seen, depth + 1); !s) return s;
      continue;
    }
    const std::uint32_t chain = held->items[i].entry.firstCluster;
    if (Status s = Delete(*held, i); !s) return s;
    FreeChain(chain);
  }
  if (Status s = Delete(parent, index); !s) return s;
  FreeChain(folder.firstCluster);
  if (const auto it = dirs_.find(folder.firstCluster); it != dirs_.end()) {
    cachedBytes_ -= std::min(cachedBytes_, it->second->bytes.size());
    dirs_.erase(it);
  }
  return {};
}

Status Volume::Impl::Remove(std::string_view path, bool tree) {
  std::shared_ptr<Dir> dir;
  Item* item = nullptr;
  if (Status s = Existing(path, dir, item); !s) return s;
  const auto index = static_cast<std::uint32_t>(item - dir->items.data());
  const Entry entry = item->entry;
  if (!entry.IsFolder()) {
    if (Status s = Delete(*dir, index); !s) return s;
    FreeChain(entry.firstCluster);
    return {};
  }
  if (!tree) {
    const Result<std::shared_ptr<Dir>> inside = DirOf(entry);
    if (!inside.ok()) return inside.status;
    for (const Item& i : inside.value->items)
      if (i.live) return {Fault::NotEmpty};
  }
  std::unordered_set<std::uint32_t> seen;
  return RemoveTree(*dir, index, seen, 0);
}

}  // namespace tessarin::fat
