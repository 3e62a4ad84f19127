#include "fakes.h"

#include <algorithm>

#include "boot/profile_text.h"
#include "install/project_folder.h"
#include "res/string_table.h"

namespace tessarin::test {
namespace {

bool Hit(FaultPlan* plan, const std::string& op) { return plan != nullptr && plan->Hit(op); }

void Put16(Sector& s, std::size_t at, std::uint16_t v) {
  s[at] = static_cast<std::uint8_t>(v);
  s[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(Sector& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Paths compare without regard to case, and doubled separators count once,
// as the system reads them.
std::string Lower(std::string s) {
  for (char& c : s) c = ToLowerAscii(c);
  for (std::size_t at = s.find("\\\\"); at != std::string::npos; at = s.find("\\\\", at)) s.erase(at, 1);
  return s;
}

std::string Hex(unsigned v) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), digits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  return out;
}

}  // namespace

void WriteMbr(CardImage& card, std::uint32_t totalSectors) {
  Sector& s = card.Mbr();
  s.fill(0xC3);
  Put32(s, 440, 0x12345678);  // disk signature
  s[444] = s[445] = 0;
  std::fill(s.begin() + 446, s.begin() + 510, 0);
  s[446] = 0x00;      // not active
  s[446 + 4] = 0x0C;  // FAT32 LBA
  Put32(s, 446 + 8, card.partitionStart);
  Put32(s, 446 + 12, totalSectors - card.partitionStart);
  s[510] = 0x55;
  s[511] = 0xAA;
}

void WriteFat32BootSector(CardImage& card, const BpbShape& b) {
  Sector& s = card.VolumeBoot();
  s.fill(0x90);
  s[0] = 0xEB;
  s[1] = 0x58;
  s[2] = 0x90;
  std::copy_n("MSWIN4.1", 8, s.begin() + 3);
  Put16(s, 11, b.bytesPerSector);
  s[13] = 8;         // sectors per cluster
  Put16(s, 14, 32);  // reserved sectors
  s[16] = 2;         // FATs
  Put16(s, 17, 0);   // root entries
  Put16(s, 19, b.total16);
  s[21] = b.media;
  Put16(s, 22, 0);
  Put16(s, 24, b.sectorsPerTrack);
  Put16(s, 26, b.heads);
  Put32(s, 28, card.partitionStart);
  Put32(s, 32, b.total32);
  Put32(s, 36, 1000);  // FAT size
  Put16(s, 40, 0);
  Put16(s, 42, 0);
  Put32(s, 44, 2);  // root cluster
  Put16(s, 48, 1);
  Put16(s, 50, 6);
  std::fill(s.begin() + 52, s.begin() + 64, 0);
  s[64] = b.driveNumber;
  s[65] = 0;
  s[66] = 0x29;
  Put32(s, 67, 0xA1B2C3D4);  // FORMAT's own serial
  std::copy_n("QV         ", 11, s.begin() + 71);
  std::copy_n("FAT32   ", 8, s.begin() + 82);
  s[510] = 0x55;
  s[511] = 0xAA;
}

namespace {

// "io.sys" -> "IO      SYS"
std::string DirectoryName(const std::string& name) {
  std::string out(11, ' ');
  const std::size_t dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  for (std::size_t i = 0; i < base.size() && i < 8; ++i) out[i] = ToUpperAscii(base[i]);
  for (std::size_t i = 0; i < ext.size() && i < 3; ++i) out[8 + i] = ToUpperAscii(ext[i]);
  return out;
}

}  // namespace

void WriteRootFolder(CardImage& card, const std::vector<RootEntry>& entries) {
  const Sector boot = card.VolumeBoot();
  const std::uint32_t perCluster = boot[13];
  const std::uint32_t reserved = static_cast<std::uint32_t>(boot[14] | boot[15] << 8);
  const std::uint32_t fatSize = static_cast<std::uint32_t>(boot[36] | boot[37] << 8 | boot[38] << 16);
  const std::uint64_t volume = card.partitionStart;
  const std::uint64_t firstData = volume + reserved + boot[16] * fatSize;
  auto setFat = [&](std::uint32_t cluster, std::uint32_t value) {
    Put32(card.At(volume + reserved + cluster * 4 / 512), cluster * 4 % 512, value);
  };
  for (std::uint32_t i = 0; i < perCluster; ++i) card.At(firstData + i).fill(0);
  setFat(2, 0x0FFFFFFF);  // the root folder: one cluster

  std::uint32_t next = 3;
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const RootEntry& e = entries[n];
    std::vector<std::uint32_t> chain = e.chain;
    if (chain.empty()) {
      const std::uint32_t clusters = std::max<std::uint32_t>(1, (e.size + perCluster * 512 - 1) / (perCluster * 512));
      for (std::uint32_t c = 0; c < clusters; ++c) chain.push_back(next++);
    }
    for (std::size_t c = 0; c < chain.size(); ++c) setFat(chain[c], c + 1 < chain.size() ? chain[c + 1] : 0x0FFFFFFF);
    Sector& dir = card.At(firstData + n / 16);
    const std::size_t at = n % 16 * 32;
    const std::string name = DirectoryName(e.name);
    std::copy(name.begin(), name.end(), dir.begin() + static_cast<long>(at));
    dir[at + 11] = e.attributes;
    Put16(dir, at + 20, static_cast<std::uint16_t>(chain.front() >> 16));
    Put16(dir, at + 26, static_cast<std::uint16_t>(chain.front()));
    Put32(dir, at + 28, e.size);
  }
}

// ---- device -----------------------------------------------------------------

DeviceHandle FakeDeviceApi::Open(const std::string& path) {
  journal_.push_back("open " + path);
  std::string volume = "\\\\.\\";
  volume += volumeLetter;
  volume += ':';
  DeviceHandle h = kInvalidHandle;
  if (path == volume && volumeOpens && !Hit(plan, "open-volume")) h = kVolume;
  if (path == "\\\\.\\PhysicalDrive" + std::to_string(extents.diskNumber) && diskOpens && !Hit(plan, "open-disk")) {
    h = kDisk;
  }
  if (h == kInvalidHandle) {
    lastError_ = 2;
    return h;
  }
  position_[h] = 0;
  ++openHandles;
  return h;
}

void FakeDeviceApi::Close(DeviceHandle handle) {
  journal_.push_back("close " + std::to_string(handle));
  if (handle == kVolume || handle == kDisk) --openHandles;
}

bool FakeDeviceApi::GetVolumeDiskExtents(DeviceHandle volume, DiskExtents& out) {
  journal_.push_back("extents");
  if (volume != kVolume || !extentsSucceed || Hit(plan, "extents")) {
    lastError_ = 50;
    return false;
  }
  out = extents;
  return true;
}

bool FakeDeviceApi::LockVolume(DeviceHandle) {
  journal_.push_back("lock");
  if (locksRefused > 0) {
    --locksRefused;
    return false;
  }
  return true;
}

bool FakeDeviceApi::DismountVolume(DeviceHandle) {
  journal_.push_back("dismount");
  return true;
}

bool FakeDeviceApi::SeekToStart(DeviceHandle handle) {
  journal_.push_back("seek " + std::to_string(handle));
  position_[handle] = 0;
  return true;
}

bool FakeDeviceApi::SeekTo(DeviceHandle handle, std::uint64_t offset) {
  journal_.push_back("seek " + std::to_string(handle) + " to " + std::to_string(offset));
  position_[handle] = offset;
  return true;
}

bool FakeDeviceApi::Transfer(DeviceHandle handle, std::uint8_t* bytes, std::uint32_t length, std::uint32_t& moved,
                             bool write) {
  const std::string what = std::string(write ? "write-" : "read-") + (handle == kDisk ? "disk" : "volume");
  journal_.push_back(what);
  if ((handle != kDisk && handle != kVolume) || failing.count(what) != 0 || Hit(plan, what)) {
    lastError_ = failCode;
    moved = 0;
    return false;
  }
  const std::uint64_t lba = (handle == kVolume ? card_.partitionStart : 0) + position_[handle] / 512;
  moved = shortTransfer.count(what) != 0 ? length / 2 : length;
  if (write) {
    const Sector before = card_.Get(lba);
    std::copy_n(bytes, moved, card_.At(lba).begin());
    if (garble) garble(what, before, card_.At(lba));
  } else {
    const Sector s = card_.Get(lba);
    std::copy_n(s.begin(), moved, bytes);
  }
  position_[handle] += moved;
  return true;
}

bool FakeDeviceApi::Flush(DeviceHandle handle) {
  const std::string what = std::string("flush-") + (handle == kDisk ? "disk" : "volume");
  journal_.push_back(what);
  if ((handle != kDisk && handle != kVolume) || failing.count(what) != 0 || Hit(plan, what)) {
    lastError_ = failCode;
    return false;
  }
  return true;
}

bool FakeDeviceApi::Read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& moved) {
  return Transfer(handle, buffer, length, moved, false);
}

bool FakeDeviceApi::Write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& moved) {
  return Transfer(handle, const_cast<std::uint8_t*>(buffer), length, moved, true);
}

std::uint8_t* FakeDeviceApi::AllocateSector() {
  if (allocationsBeforeFailure == 0 || Hit(plan, "allocate")) return nullptr;
  if (allocationsBeforeFailure > 0) --allocationsBeforeFailure;
  ++liveBuffers;
  return new std::uint8_t[512]();
}

void FakeDeviceApi::FreeSector(std::uint8_t* bytes) {
  --liveBuffers;
  delete[] bytes;
}

// ---- card port -------------------------------------------------------------------

int FakeCard::SetVolumeLock(const std::string&, bool lock) {
  journal_.push_back(lock ? "acquire" : "release");
  held = false;
  if (!lock) return 1;
  if (acquisitionsBeforeFailure == 0) {
    log_.StopProgressAnimation();
    log_.ShowMessageBoxString(refusalText, kMbOk | kMbIconExclamation);
    return 0;
  }
  if (acquisitionsBeforeFailure > 0) --acquisitionsBeforeFailure;
  held = true;
  return 1;
}

bool FakeCard::Transfer(const std::string& what, std::uint64_t lba, std::uint8_t* bytes, bool write, bool needsHold) {
  journal_.push_back(what);
  const bool nth = ++transfers[what] == failOnCall.second && what == failOnCall.first;
  if ((needsHold && !held) || failing.count(what) != 0 || nth) {
    lastError_ = held || !needsHold ? failure : Failure::Own(FailureKind::InvalidHandle);
    return false;
  }
  if (write) {
    const Sector before = card_.Get(lba);
    std::copy_n(bytes, kSectorSize, card_.At(lba).begin());
    if (garble) garble(what, before, card_.At(lba));
  } else {
    const Sector sector = card_.Get(lba);
    std::copy_n(sector.begin(), kSectorSize, bytes);
  }
  return true;
}

bool FakeCard::ReadMbrSector(const std::string&, SectorBuffer& buffer) {
  return Transfer("read-mbr", 0, buffer.data(), false);
}

bool FakeCard::WriteMbrSector(const std::string&, const SectorBuffer& buffer) {
  return Transfer("write-mbr", 0, const_cast<std::uint8_t*>(buffer.data()), true);
}

bool FakeCard::ReadVolumeBootSector(const std::string&, SectorBuffer& buffer) {
  return Transfer("read-volume", card_.partitionStart, buffer.data(), false);
}

bool FakeCard::WriteVolumeBootSector(const std::string&, const SectorBuffer& buffer) {
  return Transfer("write-volume", card_.partitionStart, const_cast<std::uint8_t*>(buffer.data()), true);
}

bool FakeCard::ReadBackMbrSector(const std::string&, SectorBuffer& buffer) {
  return Transfer("read-back-mbr", 0, buffer.data(), false);
}

bool FakeCard::ReadBackVolumeBootSector(const std::string&, SectorBuffer& buffer) {
  return Transfer("read-back-volume", card_.partitionStart, buffer.data(), false);
}

bool FakeCard::ReadVolumeSector(const std::string&, std::uint64_t sector, SectorBuffer& buffer) {
  return Transfer("read-volume-sector", card_.partitionStart + sector, buffer.data(), false, false);
}

SectorBuffer FakeCard::AllocateSector() {
  if (allocationsBeforeFailure == 0) return {};
  if (allocationsBeforeFailure > 0) --allocationsBeforeFailure;
  ++liveBuffers;
  return SectorBuffer(new std::uint8_t[kSectorSize](), this);
}

void FakeCard::FreeSector(std::uint8_t* bytes) {
  --liveBuffers;
  delete[] bytes;
}

// ---- operator ---------------------------------------------------------------------

int FakeOperator::ShowMessageBox(const std::string& text, unsigned flags) {
  boxes.push_back({text, flags});
  journal_.push_back("box " + text.substr(0, text.find('\n')));
  if ((flags & kMbTypeMask) == kMbYesNo) {
    // Nobody answering: the default button.
    if (answers.empty()) return (flags & kMbDefButton2) != 0 ? kIdNo : kIdYes;
    const int a = answers.front();
    answers.pop_front();
    return a;
  }
  return kIdOk;
}

void FakeOperator::AddLogLine(const std::string& line) {
  lines.push_back(line);
  journal_.push_back("log " + line);
}

void FakeOperator::AddLogLineNoScroll(const std::string& line) {
  lines.push_back(line);
  journal_.push_back("log-noscroll " + line);
}

void FakeOperator::StartProgressAnimation() {
  animating = true;
  journal_.push_back("animation start");
}

void FakeOperator::StopProgressAnimation() {
  animating = false;
  journal_.push_back("animation stop");
}

void FakeOperator::SetBusy(bool busy) { journal_.push_back(busy ? "busy" : "idle"); }

DialogValues FakeOperator::ExchangeIntoMembers() {
  journal_.push_back("exchange");
  return values;
}

// ---- system, resources -------------------------------------------------------------

FailureDescription FakeSystem::DescribeFailure(const Failure& failure) {
  // As the Windows program names failures: its own code for what the
  // restore found itself.
  const std::uint32_t code = failure.origin == CodeOrigin::None ? WindowsCodeOf(failure.kind) : failure.code;
  auto it = errorTexts.find(code);
  if (it == errorTexts.end()) return {code, std::nullopt};
  return {code, it->second};
}

DriveType FakeSystem::DriveTypeOf(char letter) {
  auto it = driveTypes.find(letter);
  return it == driveTypes.end() ? DriveType::NoRootDir : it->second;
}

std::vector<std::uint8_t> SyntheticImage(unsigned id, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((id * 7 + i * 13) & 0xFF);
  if (size >= 2) {
    bytes[size - 2] = 0x55;
    bytes[size - 1] = 0xAA;
  }
  return bytes;
}

FakeResources::FakeResources() {
  images[IDR_MBR_CODE] = SyntheticImage(IDR_MBR_CODE, kMbrCodeSize);
  images[IDR_FAT32_BOOT] = SyntheticImage(IDR_FAT32_BOOT, kBootSectorSize);
  images[IDR_FAT16_BOOT] = SyntheticImage(IDR_FAT16_BOOT, kBootSectorSize);
  images[IDR_BLDR_LOADER] = SyntheticImage(IDR_BLDR_LOADER, kBldrLoaderSize);
}

std::string FakeResources::LoadResString(unsigned id) {
  if (missingStrings.count(id) != 0) return {};
  return TableString(id);
}

ImageLoad FakeResources::LoadBootImage(unsigned id) {
  auto it = images.find(id);
  if (it == images.end()) return ImageLoad{{}, Failure::Win32(FailureKind::NotFound, missingImageError)};
  return ImageLoad{std::span<const std::uint8_t>(it->second), {}};
}

// ---- files -------------------------------------------------------------------------

void FakeFiles::AddDirectory(const std::string& path) {
  // Parents first, as a real tree has them.
  for (std::size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
    Node& parent = nodes[Lower(path.substr(0, at))];
    parent.directory = true;
    if (parent.spelling.empty()) parent.spelling = path.substr(0, at);
  }
  Node& n = nodes[Lower(path)];
  n.directory = true;
  if (n.spelling.empty()) n.spelling = path;
}

void FakeFiles::AddFile(const std::string& path, std::uint64_t size) {
  const std::size_t slash = path.rfind('\\');
  if (slash != std::string::npos && slash > 2) AddDirectory(path.substr(0, slash));
  Node& n = nodes[Lower(path)];
  n.directory = false;
  n.size = size;
  if (n.spelling.empty()) n.spelling = path;
}

bool FakeFiles::IsFile(const std::string& path) const {
  auto n = Get(path);
  return n && !n->directory;
}

std::optional<FakeFiles::Node> FakeFiles::Get(const std::string& path) const {
  auto it = nodes.find(Lower(path));
  if (it == nodes.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> FakeFiles::TempPath() {
  if (Hit(plan, "temp-path")) return std::nullopt;
  return tempPath;
}

void FakeFiles::Forget(const std::string& path) { nodes.erase(Lower(path)); }

bool FakeFiles::Exists(const std::string& path) { return !path.empty() && nodes.count(Lower(path)) != 0; }

PathPresence FakeFiles::Probe(const std::string& path) {
  journal_.push_back("probe " + path);
  for (const std::string& prefix : unreadable)
    if (Lower(path).rfind(Lower(prefix), 0) == 0) return PathPresence::Unreadable;
  if (Hit(plan, "probe")) return PathPresence::Unreadable;
  return Exists(path) ? PathPresence::Present : PathPresence::Absent;
}

std::optional<std::vector<std::string>> FakeFiles::ListFolders(const std::string& folder, const std::string& prefix) {
  if (Hit(plan, "list-folders")) return std::nullopt;
  std::string dir = Lower(folder);
  if (!dir.empty() && dir.back() != '\\') dir += '\\';
  std::vector<std::string> names;
  for (const auto& [path, node] : nodes) {
    if (!node.directory || path.rfind(dir, 0) != 0) continue;
    const std::string name = path.substr(dir.size());
    if (name.find('\\') == std::string::npos && name.rfind(Lower(prefix), 0) == 0)
      names.push_back(node.spelling.empty() ? name : node.spelling.substr(node.spelling.size() - name.size()));
  }
  return names;
}

std::optional<std::string> FakeFiles::ReadTextFile(const std::string& path, std::size_t maxBytes) {
  if (Hit(plan, "read-text")) return std::nullopt;
  for (const std::string& prefix : unreadable)
    if (Lower(path).rfind(Lower(prefix), 0) == 0) return std::nullopt;
  const auto it = texts.find(Lower(path));
  if (it == texts.end() || !IsFile(path) || it->second.size() > maxBytes) return std::nullopt;
  return it->second;
}

bool FakeFiles::WriteTextFile(const std::string& path, const std::string& text) {
  journal_.push_back("write " + path);
  if (Hit(plan, "write-text")) return false;
  const std::size_t slash = path.rfind('\\');
  if (slash == std::string::npos || !Exists(path.substr(0, slash))) return false;
  AddFile(path, text.size());
  texts[Lower(path)] = text;
  return true;
}

std::optional<std::string> FakeFiles::TempFileName(const std::string& directory, const std::string& prefix,
                                                   unsigned unique) {
  std::string dir = directory;
  if (!dir.empty() && dir.back() != '\\') dir += '\\';
  return dir + prefix.substr(0, 3) + Hex(unique & 0xFFFF) + ".tmp";
}

bool FakeFiles::MakeDirectory(const std::string& path) {
  journal_.push_back("mkdir " + path);
  if (madeByOthers.erase(Lower(path)) != 0) AddDirectory(path);
  if (createDirectoryFails || Exists(path) || Hit(plan, "mkdir")) return false;
  AddDirectory(path);
  return true;
}

bool FakeFiles::CopyFolderTree(const std::string& source, const std::string& target) {
  journal_.push_back("copy " + source + " -> " + target);
  copies.push_back(source + " -> " + target);
  if (beforeCopy) beforeCopy(source);
  if (!failCopyFrom.empty() && Lower(source).rfind(Lower(failCopyFrom), 0) == 0) return false;
  if (Hit(plan, "copy")) return false;
  const std::string from = Lower(source) + "\\";
  bool dropped = false;
  const bool drop = !dropFileFrom.empty() && Lower(source).rfind(Lower(dropFileFrom), 0) == 0;
  AddDirectory(target);
  const auto snapshot = nodes;
  for (const auto& [path, node] : snapshot) {
    if (path.rfind(from, 0) != 0) continue;
    if (drop && !dropped && !node.directory) {
      dropped = true;
      continue;
    }
    const std::string dest = target + "\\" + path.substr(from.size());
    if (node.directory) {
      AddDirectory(dest);
    } else {
      AddFile(dest, node.size);
    }
  }
  return true;
}

bool FakeFiles::DeleteFolderTree(const std::string& path, std::uint16_t flags) {
  journal_.push_back("delete " + path + " flags " + std::to_string(flags));
  auto n = Get(path);
  if (!n || !n->directory || deleteFails || Hit(plan, "delete")) return false;
  const std::string prefix = Lower(path);
  for (auto it = nodes.begin(); it != nodes.end();) {
    if (it->first == prefix || it->first.rfind(prefix + "\\", 0) == 0) {
      it = nodes.erase(it);
    } else {
      ++it;
    }
  }
  return true;
}

std::optional<std::vector<TreeEntry>> FakeFiles::ListTree(const std::string& root) {
  auto n = Get(root);
  if (!n || !n->directory || Hit(plan, "list")) return std::nullopt;
  const std::string prefix = Lower(root) + "\\";
  std::vector<TreeEntry> out;
  for (const auto& [path, node] : nodes) {
    if (path.rfind(prefix, 0) == 0) out.push_back({path.substr(prefix.size()), node.directory, node.size});
  }
  return out;
}

bool FakeFiles::SetAttributes(const std::string& path, std::uint32_t attributes) {
  journal_.push_back("attrib " + path);
  auto it = nodes.find(Lower(path));
  if (it == nodes.end() || Hit(plan, "attrib")) return false;
  it->second.attributes = attributes;
  return true;
}

bool FakeFiles::RemoveFile(const std::string& path) {
  journal_.push_back("remove " + path);
  if (Hit(plan, "remove")) return false;
  nodes.erase(Lower(path));
  texts.erase(Lower(path));
  return true;
}

bool FakeFiles::FlushTree(const std::string& path) {
  journal_.push_back("flush " + path);
  return Exists(path) && !Hit(plan, "flush");
}

bool FakeFiles::IsPrivateFolder(const std::string& path, std::string* why) {
  const auto n = Get(path);
  const char* reason = !n || !n->directory                  ? "not a folder"
                       : notPrivate.count(Lower(path)) != 0 ? "another user may have written to it"
                                                            : nullptr;
  if (reason != nullptr && why != nullptr) *why = reason;
  return reason == nullptr;
}

bool FakeFiles::HoldFolder(const std::string& path) {
  journal_.push_back("hold " + path);
  if (heldElsewhere.count(Lower(path)) != 0 || !Exists(path)) return false;
  held.insert(Lower(path));
  return true;
}

void FakeFiles::ReleaseFolder(const std::string& path) { held.erase(Lower(path)); }

bool FakeFiles::ReadFile(const std::string& path, const std::function<void(const std::uint8_t*, std::size_t)>& piece) {
  for (const std::string& prefix : unreadable)
    if (Lower(path).rfind(Lower(prefix), 0) == 0) return false;
  const auto n = Get(path);
  if (!n || n->directory || Hit(plan, "read-file")) return false;
  if (const auto text = texts.find(Lower(path)); text != texts.end()) {
    piece(reinterpret_cast<const std::uint8_t*>(text->second.data()), text->second.size());
    return true;
  }
  const std::string name = Lower(path.substr(path.rfind('\\') + 1));
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n->size));
  const bool zero = zeroed.count(Lower(path)) != 0;
  for (std::size_t i = 0; i < bytes.size() && !zero; ++i)
    bytes[i] = static_cast<std::uint8_t>(name[i % name.size()] + i / name.size());
  piece(bytes.data(), bytes.size());
  return true;
}

void FakeProfile::SetFile(const std::string& path, const std::string& text) {
  files_.AddFile(path, text.size());
  texts[Lower(path)] = text;
}

std::string FakeProfile::ReadProfileString(const std::string& section, const std::string& key,
                                           const std::string& defaultValue, const std::string& file) {
  auto it = texts.find(Lower(file));
  if (it == texts.end()) return ProfileGetString(nullptr, section, key, defaultValue);
  const ProfileText profile(it->second);
  return ProfileGetString(&profile, section, key, defaultValue);
}

int FakeProfile::ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                                const std::string& file) {
  auto it = texts.find(Lower(file));
  if (it == texts.end()) return defaultValue;
  const ProfileText profile(it->second);
  return ProfileGetInt(&profile, section, key, defaultValue);
}

// ---- formatting, installation --------------------------------------------------------

bool FakeFormat::FormatCard(const std::string& driveEntry) {
  journal_.push_back("format " + driveEntry);
  if (!succeeds || Hit(plan, "format")) return false;
  WriteFat32BootSector(card_, shape);
  if (files != nullptr) {
    const std::string drive(1, ToLowerAscii(DriveLetter(driveEntry)));
    for (auto it = files->nodes.begin(); it != files->nodes.end();) {
      it = it->first.rfind(drive + ":", 0) == 0 ? files->nodes.erase(it) : std::next(it);
    }
  }
  return true;
}

InstallerOutcome FakeInstaller::RunInstaller(const InstallerCommand& command) {
  journal_.push_back("install " + command.commandLine);
  commands.push_back(command);
  if (Hit(plan, "installer-start")) return InstallerOutcome{false, Failure::Win32(FailureKind::NotFound, 2), 0};
  if (Hit(plan, "installer-exit")) return InstallerOutcome{true, {}, 1};
  if (outcome.started && outcome.exitCode == 0) {
    std::vector<RootEntry> root;
    for (const std::string& f : filesWritten) {
      files_.AddFile(f, 100);
      // "e:\BLDR": a file of the drive's root folder.
      if (f.size() > 3 && f.find('\\', 3) == std::string::npos) root.push_back(RootEntry{f.substr(3), 100, 0x20, {}});
    }
    if (card != nullptr) WriteRootFolder(*card, rootFolder.value_or(root));
  }
  return outcome;
}

bool FakeInstaller::ProveInstallation(const InstallerCommand&, const std::vector<std::string>& systemFiles,
                                      std::uint32_t attributes) {
  std::string entry = "prove";
  for (const std::string& f : systemFiles) entry += " " + f;
  journal_.push_back(entry + " " + std::to_string(attributes));
  return proves && !Hit(plan, "prove");
}

// ---- world -------------------------------------------------------------------------------

World::World() : ctx(Ports{ui, system, resources, handleCard, format, installer, files, profile}) {
  g_strSavedProjectFolder.clear();
  device.plan = &faults;
  files.plan = &faults;
  format.plan = &faults;
  installer.plan = &faults;
  format.files = &files;
  installer.card = &card;
  WriteMbr(card, 1'002'048);
  WriteFat32BootSector(card, BpbShape{});
  files.AddDirectory("C:\\Temp");
  files.AddDirectory("C:\\Tessarin");
  SetKind(SystemKind::WinCE);
}

void World::SetKind(SystemKind kind) {
  ctx.SetSystemKind(kind);
  g_nSystemKind = kind;
}

std::vector<std::string> World::Messages() const {
  std::vector<std::string> out;
  for (const std::string& line : ui.lines) {
    out.push_back(line.rfind(system.stamp, 0) == 0 ? line.substr(system.stamp.size()) : line);
  }
  return out;
}

std::vector<std::string> World::BoxTexts() const {
  std::vector<std::string> out;
  for (const auto& b : ui.boxes) out.push_back(b.text);
  return out;
}

std::vector<std::string> World::JournalOf(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const std::string& e : journal) {
    if (e.rfind(prefix, 0) == 0) out.push_back(e);
  }
  return out;
}

}  // namespace tessarin::test
