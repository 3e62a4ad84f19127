// A reader's check of the whole volume: every folder and file followed
// once, every cluster accounted for.
#include <algorithm>
#include <cstring>

#include "fat/volume_impl.h"

namespace tessarin::fat {

std::vector<std::string> Volume::Impl::Check() {
  std::vector<std::string> problems;
  std::vector<std::uint8_t> used(std::size_t{maxCluster_} + 1, 0);
  auto note = [&problems](std::string text) {
    if (problems.size() < 1000) problems.push_back(std::move(text));
  };
  auto mark = [&](const std::vector<std::uint32_t>& clusters, const std::string& who) {
    for (std::uint32_t c : clusters) {
      if (used[c]) note(who + ": cluster " + std::to_string(c) + " belongs to something else too");
      used[c] = 1;
    }
  };

  struct Todo {
    Entry folder;
    std::string path;
    std::uint32_t dotDot;  // what ".." must hold
    int depth;
  };
  std::vector<Todo> todo{{RootEntry(), "", 0, 0}};
  while (!todo.empty()) {
    const Todo t = std::move(todo.back());
    todo.pop_back();
    const std::string shown = t.path.empty() ? "/" : t.path;
    const std::uint32_t key = t.folder.firstCluster;
    if (!(key == 0 && type_ != FatType::Fat32)) {
      std::vector<std::uint32_t> chain;
      const std::uint64_t limit = (std::uint64_t{kMaxFolderEntries} * kEntryBytes + clusterBytes_ - 1) / clusterBytes_;
      if (!Chain(key, limit, chain)) {
        note(shown + ": the folder's chain is broken");
        continue;
      }
      mark(chain, shown);
    }
    const Result<std::shared_ptr<Dir>> loaded = LoadDir(key, false);
    if (!loaded.ok()) {
      note(shown + ": the folder cannot be read");
      continue;
    }
    const Dir& dir = *loaded.value;
    if (!t.path.empty()) {
      const auto dotCluster = [&](std::uint32_t slot) {
        const std::uint8_t* p = dir.Slot(slot);
        return (type_ == FatType::Fat32 ? std::uint32_t{Le16(p + 20)} << 16 : 0) | Le16(p + 26);
      };
      if (dir.SlotCount() < 2 || std::memcmp(dir.Slot(0), ".          ", 11) != 0 || dotCluster(0) != key)
        note(shown + ": the \".\" entry is missing or wrong");
      if (dir.SlotCount() < 2 || std::memcmp(dir.Slot(1), "..         ", 11) != 0 || dotCluster(1) != t.dotDot)
        note(shown + ": the \"..\" entry is missing or wrong");
    }
    std::unordered_set<std::string> shortNames;
    for (const Item& item : dir.items) {
      if (!item.live) continue;
      const Entry& e = item.entry;
      const std::string path = t.path + "/" + e.name;
      if (!shortNames.insert(std::string(e.rawShortName.begin(), e.rawShortName.end())).second)
        note(path + ": its short name " + e.shortName + " is in the folder twice");
      if (e.IsFolder()) {
        if (!IsCluster(e.firstCluster)) {
          note(path + ": the folder has no valid first cluster");
        } else if (used[e.firstCluster]) {
          note(path + ": the folder is reached twice");
        } else if (t.depth >= 1024) {
          note(path + ": folders nested too deep");
        } else {
          todo.push_back({e, path, key == rootCluster_ || key == 0 ? 0 : key, t.depth + 1});
        }
        continue;
      }
      if (e.size == 0) {
        if (e.firstCluster != 0) note(path + ": an empty file with clusters");
        continue;
      }
      std::vector<std::uint32_t> chain;
      if (!Chain(e.firstCluster, clusterCount_, chain)) {
        note(path + ": the file's chain is broken");
        continue;
      }
      const std::uint64_t want = (std::uint64_t{e.size} + clusterBytes_ - 1) / clusterBytes_;
      if (chain.size() != want)
        note(path + ": " + std::to_string(chain.size()) + " clusters for " + std::to_string(e.size) + " bytes");
      mark(chain, path);
    }
  }

  const std::uint32_t bad = endMin_ - 1;
  std::uint32_t lost = 0, zeros = 0;
  for (std::uint32_t c = 2; c <= maxCluster_; ++c) {
    const std::uint32_t v = Get(c);
    if (v == 0) {
      ++zeros;
    } else if (v != bad && !used[c]) {
      ++lost;
    }
  }
  if (lost != 0) note(std::to_string(lost) + " clusters are in use but belong to nothing");
  if (zeros != freeClusters_)
    note("the free count kept is " + std::to_string(freeClusters_) + ", the FAT has " + std::to_string(zeros));

  if (!fsInfo_.empty()) {
    std::vector<std::uint8_t> sector(bytesPerSector_);
    if (!ReadBytes(std::uint64_t{fsInfoSector_} * bytesPerSector_, bytesPerSector_, sector.data())) {
      note("the FSInfo sector cannot be read");
    } else if (const std::uint32_t free = Le32(sector.data() + 488); free != 0xFFFFFFFF && free != zeros) {
      note("the FSInfo sector counts " + std::to_string(free) + " free clusters, the FAT has " + std::to_string(zeros));
    }
  }

  // Every copy of the FAT on the card alike, and like the one in memory.
  const std::size_t length = fatDirty_.size() * bytesPerSector_;
  const std::uint64_t fatBytes = std::uint64_t{fatSectors_} * bytesPerSector_;
  std::vector<std::uint8_t> copy(length);
  for (std::uint32_t k = 0; k < fatCount_; ++k) {
    if (!mirrored_ && k != activeFat_) continue;
    if (!ReadBytes(fatOffset_ + k * fatBytes, length, copy.data())) {
      note("FAT " + std::to_string(k + 1) + " cannot be read");
    } else if (!fatDirtyAny_ && !std::equal(copy.begin(), copy.end(), fat_.begin())) {
      note("FAT " + std::to_string(k + 1) + " differs from the FAT in use");
    }
  }
  return problems;
}

}  // namespace tessarin::fat
