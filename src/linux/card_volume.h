// The card's FAT volume as mtools reaches it, without mounting: a private
// mtools configuration maps the card's drive letter to the first partition
// of the card, so that card paths ("e:/Project") are mtools paths as they
// stand.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "card/file_port.h"
#include "linux/card_target.h"
#include "linux/process.h"

namespace tessarin::linux_port {

// What the partition's first sectors hold: a FAT boot sector, nothing at
// all (never formatted), or something no FAT reader can start from (a
// zeroed or damaged boot sector, perhaps with a sound backup at sector 6).
enum class VolumeStart { Fat, Blank, Unreadable };
VolumeStart ClassifyVolumeStart(const std::uint8_t* bootSector, const std::uint8_t* backupBootSector);

// An "mdir -a -b" listing of one folder holds an entry of this name (in
// any case, a file or a folder)?
bool ListingHoldsEntry(const std::string& listing, const std::string& name);

// A card entry's attributes, named relative to a folder.
struct EntryAttributes {
  std::string path;
  std::uint32_t attributes = 0;  // kAttrReadOnly, kAttrHidden, kAttrSystem, kAttrArchive
};

class CardVolume {
 public:
  // Writes the configuration into privateDir (which must exist and stay
  // until the volume goes away).
  CardVolume(const CardTarget& target, char letter, const std::string& privateDir);
  ~CardVolume();
  CardVolume(const CardVolume&) = delete;
  CardVolume& operator=(const CardVolume&) = delete;

  char letter() const { return letter_; }
  const CardTarget& target() const { return target_; }

  // True for "e:/..." (either case of the card's letter, either separator).
  bool IsCardPath(const std::string& path) const;

  // Whether anything is at a card path ("e:/Project"): Unreadable, with
  // the reason in why, when the volume or the folder that would hold it
  // cannot be read, or mtools cannot be run; a card never formatted holds
  // nothing.
  PathPresence Probe(const std::string& cardPath, std::string* why = nullptr) const;

  // Runs an mtools command (mcopy, mdir, ...) against the card.
  ProcessResult Run(std::vector<std::string> argv) const;
  // Runs an mcopy; with onFile set, mcopy reports each file it copies
  // ("-v"), which costs a little time.
  ProcessResult Copy(std::vector<std::string> arguments, std::function<void(const std::string&)> onFile) const;

  // Every entry below a card folder, from one recursive listing; none when
  // the folder cannot be listed.
  std::optional<std::vector<TreeEntry>> ListTree(const std::string& root) const;

  // The attributes of every entry below a card folder; none when it cannot
  // be listed.
  std::optional<std::vector<EntryAttributes>> ListAttributes(const std::string& root) const;

 private:
  CardTarget target_;
  char letter_;
  std::string config_;
  // The card, open for the tools to inherit: the configuration names this
  // descriptor, never the card's path, whose characters ($, quotes,
  // backslashes) mtools' configuration syntax would read as its own.
  int fd_ = -1;
};

// The entries of an "mdir -/ -a" listing of root, named relative to root.
std::vector<TreeEntry> ParseRecursiveListing(const std::string& listing);

// The attributes of every entry below root from an "mattrib -/" listing,
// named relative to root; root itself is left out.
std::vector<EntryAttributes> ParseAttributeListing(const std::string& listing);

// A card path as mtools must be given it to name exactly that file: its
// wildcard characters escaped, separators as '/'.
std::string LiteralCardPath(const std::string& path);

}  // namespace tessarin::linux_port
