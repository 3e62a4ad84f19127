// In-memory stand-ins for the platform ports. A card is a byte array: an MBR
// in sector 0 and a FAT volume at the first partition's start. Every call
// that matters to an order is written to one shared journal.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "card/handle_card.h"
#include "card/system_kinds.h"
#include "restore/restore_context.h"
#include "shared/card_definitions.h"

namespace tessarin::test {

using Journal = std::vector<std::string>;
using Sector = std::array<std::uint8_t, 512>;

// Counts the port calls of each kind and makes one chosen call fail: the
// nth call of the named operation.
struct FaultPlan {
  std::string op;
  int nth = 0;
  std::map<std::string, int> calls;

  // True when this call is the one to fail.
  bool Hit(const std::string& operation) {
    const int n = ++calls[operation];
    return operation == op && n == nth;
  }
};

// ---- card -------------------------------------------------------------

struct CardImage {
  std::map<std::uint64_t, Sector> sectors;  // absent sectors read as zeros
  std::uint32_t partitionStart = 2048;

  Sector& At(std::uint64_t lba) { return sectors[lba]; }
  Sector Get(std::uint64_t lba) const {
    auto it = sectors.find(lba);
    return it == sectors.end() ? Sector{} : it->second;
  }
  Sector& Mbr() { return At(0); }
  Sector& VolumeBoot() { return At(partitionStart); }
};

// An MBR with a disk signature, one FAT32 (LBA) partition at partitionStart
// and the boot signature; the rest of the code area holds a marker byte.
void WriteMbr(CardImage& card, std::uint32_t totalSectors);

// A FAT32 boot sector as FORMAT leaves it.
struct BpbShape {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t media = 0xF8;
  std::uint16_t total16 = 0;
  std::uint32_t total32 = 1'000'000;  // about 512 MB
  std::uint16_t sectorsPerTrack = 63;
  std::uint16_t heads = 16;
  std::uint8_t driveNumber = 0x80;
};
void WriteFat32BootSector(CardImage& card, const BpbShape& shape);

// One entry of the card's root folder.
struct RootEntry {
  std::string name;  // "BLDR", "IBMBIO.COM": stored as its 8.3 directory name
  std::uint32_t size = 100;
  std::uint8_t attributes = 0x20;
  std::vector<std::uint32_t> chain;  // its clusters; empty: the next free ones in a row
};
// Lays out the root folder of the FAT32 volume that WriteFat32BootSector
// describes: the entries in order from the root cluster's first sector
// on, their clusters chained in the first FAT. Whatever the root folder
// held before is gone.
void WriteRootFolder(CardImage& card, const std::vector<RootEntry>& entries);

class FakeDeviceApi final : public DeviceApi {
 public:
  FaultPlan* plan = nullptr;
  FakeDeviceApi(CardImage& card, Journal& journal) : card_(card), journal_(journal) {}

  // What the card answers.
  char volumeLetter = 'E';
  bool volumeOpens = true;
  bool extentsSucceed = true;
  DiskExtents extents{1, 3};
  int locksRefused = 0;  // how many lock requests fail before one succeeds
  bool diskOpens = true;
  // "read-disk", "write-disk", "read-volume", "write-volume", "flush-disk", "flush-volume"
  std::set<std::string> failing;
  // A card that does not keep what it is given: called after each write
  // that reported success, with the sector as it was before the write and
  // as the card now holds it ("write-disk" or "write-volume").
  std::function<void(const std::string& what, const Sector& before, Sector& held)> garble;
  std::set<std::string> shortTransfer;
  std::uint32_t failCode = 5;
  int allocationsBeforeFailure = -1;  // -1: never fail

  // Observations.
  int liveBuffers = 0;
  int openHandles = 0;

  DeviceHandle Open(const std::string& path) override;
  void Close(DeviceHandle handle) override;
  bool GetVolumeDiskExtents(DeviceHandle volume, DiskExtents& out) override;
  bool LockVolume(DeviceHandle volume) override;
  bool DismountVolume(DeviceHandle volume) override;
  bool SeekToStart(DeviceHandle handle) override;
  bool SeekTo(DeviceHandle handle, std::uint64_t offset) override;
  bool Read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& moved) override;
  bool Write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& moved) override;
  bool Flush(DeviceHandle handle) override;
  std::uint32_t LastError() override { return lastError_; }
  std::uint8_t* AllocateSector() override;
  void FreeSector(std::uint8_t* bytes) override;
  void Sleep(unsigned milliseconds) override { journal_.push_back("sleep " + std::to_string(milliseconds)); }
  std::optional<bool> writable = true;  // what IOCTL_DISK_IS_WRITABLE answers
  std::optional<bool> IsWritable(const std::string& path) override {
    journal_.push_back("is-writable " + path);
    if (plan != nullptr && plan->Hit("is-writable")) return std::nullopt;
    return writable;
  }

  static constexpr DeviceHandle kVolume = 100;
  static constexpr DeviceHandle kDisk = 200;

 private:
  bool Transfer(DeviceHandle handle, std::uint8_t* bytes, std::uint32_t length, std::uint32_t& moved, bool write);
  CardImage& card_;
  Journal& journal_;
  std::map<DeviceHandle, std::uint64_t> position_;
  std::uint32_t lastError_ = 0;
};

// The card at the card port's level, for the steps above the handle layer:
// the same byte array, held or not, each call journaled as the port's own
// operation ("acquire", "release", "read-mbr", "write-volume", ...).
class FakeCard final : public CardPort {
 public:
  FakeCard(CardImage& card, Journal& journal, OperationLog& log) : card_(card), journal_(journal), log_(log) {}

  // What the card answers.
  int acquisitionsBeforeFailure = -1;            // -1: every acquisition succeeds
  unsigned refusalText = IDS_CANNOT_OPEN_DRIVE;  // the box the platform shows then
  bool volumeInvalid = false;
  // "read-mbr", "write-mbr", "read-volume", "write-volume", "read-back-mbr",
  // "read-back-volume", "read-volume-sector"
  std::set<std::string> failing;
  // The nth call of one transfer fails (1 = the first).
  std::pair<std::string, int> failOnCall;
  std::map<std::string, int> transfers;
  Failure failure = Failure::Win32(FailureKind::Write, 5);
  // A card that does not keep what it is given, as FakeDeviceApi's
  // ("write-mbr" or "write-volume").
  std::function<void(const std::string& what, const Sector& before, Sector& held)> garble;
  int allocationsBeforeFailure = -1;

  // Observations.
  bool held = false;
  int liveBuffers = 0;

  WriteProtection writeProtection = WriteProtection::Writable;
  WriteProtection QueryWriteProtection(const std::string&) override { return writeProtection; }
  int SetVolumeLock(const std::string& driveEntry, bool lock) override;
  bool IsVolumeHandleInvalid() const override { return volumeInvalid; }
  bool ReadMbrSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool WriteMbrSector(const std::string& driveEntry, const SectorBuffer& buffer) override;
  bool ReadVolumeBootSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool WriteVolumeBootSector(const std::string& driveEntry, const SectorBuffer& buffer) override;
  bool ReadBackMbrSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool ReadBackVolumeBootSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  // Held or not, as the platforms read it after the installer.
  bool ReadVolumeSector(const std::string& driveEntry, std::uint64_t sector, SectorBuffer& buffer) override;
  Failure LastError() const override { return lastError_; }
  SectorBuffer AllocateSector() override;

 protected:
  void FreeSector(std::uint8_t* bytes) override;

 private:
  bool Transfer(const std::string& what, std::uint64_t lba, std::uint8_t* bytes, bool write, bool needsHold = true);
  CardImage& card_;
  Journal& journal_;
  OperationLog& log_;
  Failure lastError_;
};

// ---- operator -----------------------------------------------------------

class FakeOperator final : public OperatorPort {
 public:
  explicit FakeOperator(Journal& journal) : journal_(journal) {}

  DialogValues values{"[-e-]", true};
  std::deque<int> answers;  // for Yes/No boxes; the default button when empty

  struct Box {
    std::string text;
    unsigned flags;
  };
  std::vector<Box> boxes;
  std::vector<std::string> lines;  // the log list
  bool animating = false;

  int ShowMessageBox(const std::string& text, unsigned flags) override;
  void AddLogLine(const std::string& line) override;
  void AddLogLineNoScroll(const std::string& line) override;
  void StartProgressAnimation() override;
  void StopProgressAnimation() override;
  void SetBusy(bool busy) override;
  DialogValues ExchangeIntoMembers() override;

 private:
  Journal& journal_;
};

// ---- system and resources -------------------------------------------------

class FakeSystem final : public SystemPort {
 public:
  explicit FakeSystem(Journal& journal) : journal_(journal) {}
  std::string stamp = "10:15:00";
  std::map<std::uint32_t, std::string> errorTexts{{5, "Access is denied.\r\n"}};
  std::map<char, DriveType> driveTypes{{'C', DriveType::Fixed}, {'D', DriveType::CdRom}, {'E', DriveType::Removable}};
  char systemDrive = 'C';

  std::string MakeTimeStamp() override { return stamp; }
  std::string dateTime = "2026-12-10 10:15:00";
  std::string LocalDateTime() override { return dateTime; }
  void Sleep(unsigned ms) override { journal_.push_back("sleep " + std::to_string(ms)); }
  // The marks handed out, one after another.
  std::uint32_t nextMark = 0x4D41524B;
  std::uint32_t NewCardMark() override { return nextMark++; }
  FailureDescription DescribeFailure(const Failure& failure) override;
  DriveType DriveTypeOf(char letter) override;
  char SystemDriveLetter() override { return systemDrive; }

 private:
  Journal& journal_;
};

// Synthetic boot images: each byte tells its image and offset apart.
std::vector<std::uint8_t> SyntheticImage(unsigned id, std::size_t size);

class FakeResources final : public ResourcePort {
 public:
  FakeResources();
  std::map<unsigned, std::vector<std::uint8_t>> images;
  std::set<unsigned> missingStrings;
  std::uint32_t missingImageError = 1813;  // ERROR_RESOURCE_TYPE_NOT_FOUND

  std::string LoadResString(unsigned id) override;
  ImageLoad LoadBootImage(unsigned id) override;
};

// ---- files ------------------------------------------------------------------

// A Windows-like file system in memory: paths are "X:\a\b", compared
// without regard to case.
class FakeFiles final : public FilePort {
 public:
  FaultPlan* plan = nullptr;
  explicit FakeFiles(Journal& journal) : journal_(journal) {}

  struct Node {
    bool directory = false;
    std::uint64_t size = 0;
    std::uint32_t attributes = 0;
    std::string spelling;  // the path as first made
  };
  std::map<std::string, Node> nodes;  // key: lower-case path

  std::optional<std::string> tempPath = std::string("C:\\Temp\\");
  std::string currentDirectory = "C:\\Tessarin";
  bool createDirectoryFails = false;
  // Folders another process makes just before this one tries (lower case).
  std::set<std::string> madeByOthers;
  // Called as a copy starts, with its source.
  std::function<void(const std::string&)> beforeCopy;
  // Copies whose source starts with this prefix fail, or drop one file.
  std::string failCopyFrom;
  std::string dropFileFrom;
  bool deleteFails = false;
  // Called when the installer "runs"; may add files.
  std::vector<std::string> copies;
  // Paths below these prefixes cannot be read (a damaged volume).
  std::vector<std::string> unreadable;
  // The contents of the text files written or put there.
  std::map<std::string, std::string> texts;  // key: lower-case path
  // Folders that are not the user's own, or writable by others; folders
  // another restore holds; folders this one holds (all lower-case paths).
  std::set<std::string> notPrivate;
  std::set<std::string> heldElsewhere;
  std::set<std::string> held;
  // Files whose bytes no longer are what was written (a power cut, a
  // damaged disk): read back as zeros.
  std::set<std::string> zeroed;

  void AddFile(const std::string& path, std::uint64_t size);
  void AddDirectory(const std::string& path);
  bool IsFile(const std::string& path) const;
  // Takes a file or folder out, as if it had never been there (no port call).
  void Forget(const std::string& path);
  std::optional<Node> Get(const std::string& path) const;

  char Separator() const override { return '\\'; }
  bool Exists(const std::string& path) override;
  PathPresence Probe(const std::string& path) override;
  std::optional<std::vector<std::string>> ListFolders(const std::string& folder, const std::string& prefix) override;
  std::optional<std::string> ReadTextFile(const std::string& path, std::size_t maxBytes) override;
  bool WriteTextFile(const std::string& path, const std::string& text) override;
  std::optional<std::string> TempPath() override;
  std::optional<std::string> TempFileName(const std::string& directory, const std::string& prefix,
                                          unsigned unique) override;
  bool MakeDirectory(const std::string& path) override;
  bool CopyFolderTree(const std::string& source, const std::string& target) override;
  bool DeleteFolderTree(const std::string& path, std::uint16_t flags) override;
  std::optional<std::vector<TreeEntry>> ListTree(const std::string& root) override;
  bool SetAttributes(const std::string& path, std::uint32_t attributes) override;
  std::string CurrentDirectory() override { return currentDirectory; }
  bool CanOpenForReading(const std::string& path) override { return IsFile(path); }
  bool RemoveFile(const std::string& path) override;
  bool FlushTree(const std::string& path) override;
  bool IsPrivateFolder(const std::string& path, std::string* why) override;
  bool HoldFolder(const std::string& path) override;
  void ReleaseFolder(const std::string& path) override;
  // A file's bytes: its text, else a pattern of its size that its name
  // decides.
  bool ReadFile(const std::string& path, const std::function<void(const std::uint8_t*, std::size_t)>& piece) override;

 private:
  Journal& journal_;
};

class FakeProfile final : public ProfilePort {
 public:
  explicit FakeProfile(FakeFiles& files) : files_(files) {}
  std::map<std::string, std::string> texts;  // lower-case path -> INI text

  // Puts an INI file into the fake file system and its text here.
  void SetFile(const std::string& path, const std::string& text);

  std::string ReadProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                const std::string& file) override;
  int ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                     const std::string& file) override;

 private:
  FakeFiles& files_;
};

// ---- formatting and installation ----------------------------------------------

class FakeFormat final : public FormatPort {
 public:
  FaultPlan* plan = nullptr;
  FakeFormat(CardImage& card, Journal& journal) : card_(card), journal_(journal) {}
  bool succeeds = true;
  BpbShape shape;              // what the formatter writes
  FakeFiles* files = nullptr;  // emptied on the card's drive
  bool FormatCard(const std::string& driveEntry) override;
  void SettleAfterFormatting(const std::string& driveEntry) override { journal_.push_back("settle " + driveEntry); }

 private:
  CardImage& card_;
  Journal& journal_;
};

class FakeInstaller final : public InstallerPort {
 public:
  FaultPlan* plan = nullptr;
  FakeInstaller(FakeFiles& files, Journal& journal) : files_(files), journal_(journal) {}
  InstallerOutcome outcome{true, {}, 0};
  std::vector<std::string> filesWritten;  // paths the installer creates on success
  // The card's root folder after a successful run; when none, the files
  // written into the drive's root, in their order, each in clusters of
  // its own in a row.
  std::optional<std::vector<RootEntry>> rootFolder;
  CardImage* card = nullptr;
  std::vector<InstallerCommand> commands;
  InstallerOutcome RunInstaller(const InstallerCommand& command) override;
  bool proves = true;  // what the proof after the marking finds
  bool ProveInstallation(const InstallerCommand& command, const std::vector<std::string>& systemFiles,
                         std::uint32_t attributes) override;

 private:
  FakeFiles& files_;
  Journal& journal_;
};

// ---- everything together ----------------------------------------------------

// The card definition file in the World's working directory.
inline const std::string kDefinitionsPath = std::string("C:\\Tessarin\\") + kDefinitionsFileName;

// A whole restore's world: a card in drive E of a removable reader, with the
// card definition file in the working directory.
struct World {
  World();
  Journal journal;
  FaultPlan faults;
  CardImage card;
  FakeDeviceApi device{card, journal};
  FakeOperator ui{journal};
  FakeSystem system{journal};
  FakeResources resources;
  FakeFiles files{journal};
  FakeProfile profile{files};
  FakeFormat format{card, journal};
  FakeInstaller installer{files, journal};
  OperationLog cardLog{ui, system, resources};
  HandleCard handleCard{device, cardLog};
  RestoreContext ctx;

  void SetKind(SystemKind kind);
  // Log lines without their time stamps.
  std::vector<std::string> Messages() const;
  std::vector<std::string> BoxTexts() const;
  // Journal entries that start with a prefix.
  std::vector<std::string> JournalOf(const std::string& prefix) const;
};

}  // namespace tessarin::test
