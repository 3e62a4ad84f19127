// A FAT12, FAT16 or FAT32 volume on a sector device: its folders and
// files read and written in place, without mounting. Paths are UTF-8,
// relative to the root, separated by '/' or '\'. Every failure comes back
// as a Status that says what went wrong in FAT's terms, with the device's
// own failure (and its platform code) beside it when the device failed.
//
// Bounds: a folder holds at most 65,536 entries, a file less than 4 GiB;
// chains are followed no further than the volume has clusters, and a walk
// enters each folder once, so that a damaged volume neither loops nor
// grows memory beyond its own size.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fat/fat_names.h"
#include "fat/sector_device.h"

namespace tessarin::fat {

enum class Fault {
  None,
  ReadFailed,      // the device could not read (cause)
  WriteFailed,     // the device could not write (cause)
  Blank,           // no file system: the volume's first sectors are empty
  NotFat,          // the first sector holds no FAT boot sector, nor does the backup
  Damaged,         // the volume's structures contradict themselves
  NotFound,        // nothing of that name
  NotAFolder,      // a file where a folder is needed
  IsAFolder,       // a folder where a file is needed
  NameNotAllowed,  // FAT cannot hold the name
  NameClash,       // another entry of the folder has that name, up to case
  TooLarge,        // 4 GiB or more
  NoSpace,         // the volume is full
  FolderFull,      // the folder cannot take more entries
  NotEmpty,        // a folder to be removed holds entries
  ReadOnly,        // the volume was opened for reading only
  SourceFailed,    // what was to be written could not be read (cause)
  SinkFailed,      // what was read could not be stored (cause)
};

struct Status {
  constexpr Status() = default;
  // A fault alone reads as its status.
  constexpr Status(Fault f, Failure c = {}) : fault(f), cause(c) {}

  Fault fault = Fault::None;
  Failure cause;  // the device's, source's or sink's own failure, with its platform code

  bool ok() const { return fault == Fault::None; }
  explicit operator bool() const { return ok(); }
};

// A few words for the fault, without the system code's own text.
const char* Describe(Fault fault);

template <class T>
struct Result {
  Status status;
  T value{};

  bool ok() const { return status.ok(); }
};

enum class FatType { Fat12, Fat16, Fat32 };

// "a/b\c" into its non-empty components.
std::vector<std::string> SplitPath(std::string_view path);

// Directory entry attributes.
inline constexpr std::uint8_t kReadOnly = 0x01;
inline constexpr std::uint8_t kHidden = 0x02;
inline constexpr std::uint8_t kSystem = 0x04;
inline constexpr std::uint8_t kVolumeLabel = 0x08;
inline constexpr std::uint8_t kFolder = 0x10;
inline constexpr std::uint8_t kArchive = 0x20;
inline constexpr std::uint8_t kLongNameEntry = 0x0F;

// A date and time as FAT stores it (local time, two-second steps, the
// creation time with hundredths).
struct Stamp {
  std::uint16_t date = 0x21;  // 1980-01-01
  std::uint16_t time = 0;
  std::uint8_t hundredths = 0;
};

struct CivilTime {
  int year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
// Years outside 1980 to 2107 are clamped.
Stamp ToStamp(const CivilTime& t, int hundredths = 0);
CivilTime FromStamp(const Stamp& s);

struct Entry {
  std::string name;       // the long name, or the short name as shown
  std::string shortName;  // the 8.3 name as stored, "FILE~1.TXT"
  ShortName rawShortName{};
  bool longName = false;  // long-name entries carry the name
  std::uint8_t attributes = 0;
  std::uint8_t caseFlags = 0;
  std::uint32_t size = 0;
  std::uint32_t firstCluster = 0;
  Stamp created, modified;
  std::uint16_t accessed = 0;

  bool IsFolder() const { return (attributes & kFolder) != 0; }
};

// Where file contents come from when a file is written.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  struct Chunk {
    std::size_t bytes = 0;  // 0 at the end
    Failure failure;        // why nothing could be read
  };
  virtual Chunk Read(std::uint8_t* buffer, std::size_t size) = 0;
};

// Where file contents go when a file is read.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Why the bytes could not be stored; none when they were.
  virtual Failure Write(const std::uint8_t* bytes, std::size_t size) = 0;
};

struct CreateOptions {
  // The short name to give, "FILE~1.TXT", when it is free and may stand
  // for the long name; otherwise one is made up as Windows would.
  std::optional<std::string> shortName;
  // Files get the archive bit, folders nothing, when none is given; a
  // folder's kFolder bit is always set.
  std::optional<std::uint8_t> attributes;
  std::optional<Stamp> modified;      // the clock's time when none
  std::optional<std::uint64_t> size;  // what the source will give, when known
  bool replace = true;                // a file of the same name (up to case) is replaced
};

struct VolumeInfo {
  FatType type = FatType::Fat32;
  std::uint32_t bytesPerSector = 512;
  std::uint32_t clusterBytes = 0;
  std::uint32_t clusterCount = 0;
  std::uint32_t freeClusters = 0;
  bool fromBackupBootSector = false;  // sector 0 was unusable, sector 6 served
  bool fromSecondFat = false;         // the first FAT was unreadable or inconsistent
};

struct OpenOptions {
  bool writable = false;
  // The local time for new entries; 1980-01-01 when none.
  std::function<CivilTime()> clock;
};

class Volume;

struct OpenResult {
  Status status;
  std::unique_ptr<Volume> volume;
};

class Volume {
 public:
  // The volume in sectors [firstSector, firstSector + sectorCount) of the
  // device; sectorCount 0 means to the device's end.
  static OpenResult Open(SectorDevice& device, std::uint64_t firstSector, std::uint64_t sectorCount,
                         OpenOptions options = {});

  // Writes what is left to write (and so does the destructor, ignoring
  // failure: call Flush to know).
  ~Volume();
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  VolumeInfo Info() const;

  // The entry at the path; the root is "" (a folder with no name).
  Result<Entry> Find(std::string_view path);
  // The entries of a folder, without "." and "..", the volume label and
  // deleted entries, in the order of the folder.
  Result<std::vector<Entry>> List(std::string_view folder);
  // Every entry below the folder, depth first, a folder before its
  // contents, with its path relative to the folder. The visitor returns
  // false to stop (the walk then ends with an ok status). A folder met a
  // second time (a loop or a cross-link) ends the walk as damaged.
  using Visitor = std::function<bool(const std::string& path, const Entry& entry)>;
  Status Walk(std::string_view folder, const Visitor& visit);

  Status ReadFile(std::string_view path, ByteSink& sink);
  Status ReadFile(const Entry& file, ByteSink& sink);

  // Makes the folder and what is missing above it; a folder that is there
  // already is fine.
  Result<Entry> MakeFolders(std::string_view path, const CreateOptions& options = {});
  // Writes a file from the source (its parent folder must exist). Nothing
  // of it stays when the write fails.
  Result<Entry> WriteFile(std::string_view path, ByteSource& source, const CreateOptions& options = {});
  // The read-only, hidden, system and archive bits; the others stay.
  Status SetAttributes(std::string_view path, std::uint8_t attributes);
  // A file, or a folder that is empty.
  Status Remove(std::string_view path);
  // A file, or a folder with everything in it.
  Status RemoveTree(std::string_view path);

  // Both FATs and the FSInfo sector onto the device, then the device's
  // own flush.
  Status Flush();

  // What a careful reader would find wrong: chains too short or too long
  // for their files, clusters used twice or lost, broken folders, FATs
  // that differ, a wrong free count. Empty when the volume is sound.
  std::vector<std::string> Check();

  class Impl;

 private:
  explicit Volume(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tessarin::fat
