#include "lx/card/block_devices.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "lx/support/terminal_text.h"

namespace fs = std::filesystem;

namespace tessarin::linux_port {
namespace {

std::optional<dev_t> ParseDevText(const std::string& text) {
  unsigned ma = 0, mi = 0;
  char colon = 0;
  std::istringstream in(text);
  if (!(in >> ma >> colon >> mi) || colon != ':') return std::nullopt;
  return makedev(ma, mi);
}

std::string DevText(dev_t d) { return std::to_string(major(d)) + ":" + std::to_string(minor(d)); }

// /proc/swaps and mountinfo write blanks and a few other characters as \ooo.
std::string UnescapeOctal(const std::string& text) {
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1]) && octal(text[i + 2]) && octal(text[i + 3])) {
      out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
      i += 3;
      continue;
    }
    out += text[i];
  }
  return out;
}

void AddUnique(std::vector<dev_t>& to, dev_t d) {
  if (std::find(to.begin(), to.end(), d) == to.end()) to.push_back(d);
}

bool IsNumber(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string CommandOf(const fs::path& procDir) {
  std::ifstream in(procDir / "cmdline", std::ios::binary);
  std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!cmdline.empty() && cmdline.back() == '\0') cmdline.pop_back();
  std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
  if (cmdline.empty()) cmdline = ReadSysText((procDir / "comm").string());
  constexpr std::size_t kLongest = 100;
  if (cmdline.size() > kLongest) {
    cmdline.resize(kLongest);
    cmdline += "...";
  }
  return cmdline;
}

// Whether a descriptor's link may name the card under another name (a
// hard link, a node outside /dev, another mount namespace): only a path
// can. Pipes, sockets and terminals are never asked.
bool MayBeTheCard(const std::string& target) {
  return target.size() > 1 && target[0] == '/' && target.rfind("/dev/pts/", 0) != 0 && target != "/dev/null" &&
         target.rfind("/proc/", 0) != 0;
}

// Every process but this one, with the targets of its open descriptors.
template <typename Match>
std::vector<HoldingProcess> ScanProcesses(const SystemRoots& roots, Match matches) {
  std::vector<HoldingProcess> found;
  const std::string self = roots.Live() ? std::to_string(getpid()) : std::string();
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(roots.proc, ec)) {
    const std::string pid = entry.path().filename().string();
    if (!IsNumber(pid) || pid == self) continue;
    std::error_code fdEc;
    for (const auto& fd : fs::directory_iterator(entry.path() / "fd", fdEc)) {
      std::error_code linkEc;
      const fs::path target = fs::read_symlink(fd.path(), linkEc);
      if (linkEc || !matches(fd.path(), target.string())) continue;
      found.push_back({std::atoi(pid.c_str()), CommandOf(entry.path())});
      break;
    }
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.pid < b.pid; });
  return found;
}

fs::path SysfsDir(dev_t device, const std::string& sysfs) {
  const fs::path link =
      fs::path(sysfs) / "dev" / "block" / (std::to_string(major(device)) + ":" + std::to_string(minor(device)));
  std::error_code ec;
  fs::path dir = fs::canonical(link, ec);
  return ec ? fs::path() : dir;
}

std::optional<dev_t> DevOfSysfsDir(const fs::path& dir) {
  std::error_code ec;
  if (!fs::exists(dir / "dev", ec)) return std::nullopt;
  return ParseDevText(ReadSysText((dir / "dev").string()));
}

}  // namespace

std::string ReadSysText(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string BlockDeviceName(dev_t device, const SystemRoots& roots) {
  std::error_code ec;
  const fs::path dir = fs::canonical(fs::path(roots.sysfs) / "dev" / "block" / DevText(device), ec);
  return ec ? std::string() : dir.filename().string();
}

std::optional<dev_t> BlockDeviceByName(const std::string& name, const SystemRoots& roots) {
  if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
  return ParseDevText(ReadSysText((fs::path(roots.sysfs) / "class" / "block" / name / "dev").string()));
}

std::optional<dev_t> ResolveDevicePath(const std::string& path, const SystemRoots& roots) {
  if (path.rfind("/dev/", 0) != 0) return std::nullopt;
  if (roots.Live()) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return st.st_rdev;
  }
  const std::string rest = path.substr(5);
  if (rest.rfind("mapper/", 0) == 0) {
    const std::string wanted = rest.substr(7);
    std::error_code ec;
    for (const auto& block : fs::directory_iterator(fs::path(roots.sysfs) / "block", ec)) {
      if (ReadSysText((block.path() / "dm" / "name").string()) == wanted)
        return ParseDevText(ReadSysText((block.path() / "dev").string()));
    }
    return std::nullopt;
  }
  // A link below the moved /dev (/dev/vg/lv, /dev/disk/by-id/...) ends
  // at the kernel's name.
  std::error_code ec;
  const fs::path underRoot = fs::path(roots.dev) / rest;
  if (fs::is_symlink(underRoot, ec)) {
    const fs::path target = fs::read_symlink(underRoot, ec);
    if (!ec) return BlockDeviceByName(target.filename().string(), roots);
  }
  return BlockDeviceByName(fs::path(rest).filename().string(), roots);
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> mounts;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    std::istringstream in(line);
    std::string id, parent, devText, root, point;
    if (!(in >> id >> parent >> devText >> root >> point)) continue;
    const auto dev = ParseDevText(devText);
    if (!dev) continue;
    MountEntry e;
    e.device = *dev;
    e.mountPoint = UnescapeOctal(point);
    const std::size_t dash = line.find(" - ");
    if (dash != std::string::npos) {
      std::istringstream rest(line.substr(dash + 3));
      std::string type, source;
      if (rest >> type >> source) e.source = UnescapeOctal(source);
    }
    mounts.push_back(std::move(e));
  }
  return mounts;
}

std::vector<dev_t> DisksBelow(dev_t device, const std::string& sysfs) {
  std::vector<dev_t> disks;
  const fs::path dir = SysfsDir(device, sysfs);
  if (dir.empty()) return {device};
  std::error_code ec;
  if (fs::exists(dir / "partition", ec)) {
    if (auto disk = DevOfSysfsDir(dir.parent_path())) return {*disk};
    return {device};
  }
  bool anySlave = false;
  for (const auto& slave : fs::directory_iterator(dir / "slaves", ec)) {
    anySlave = true;
    const fs::path slaveDir = fs::canonical(slave.path(), ec);
    if (ec) continue;
    if (auto dev = DevOfSysfsDir(slaveDir)) {
      for (dev_t d : DisksBelow(*dev, sysfs))
        if (std::find(disks.begin(), disks.end(), d) == disks.end()) disks.push_back(d);
    }
  }
  if (!anySlave) disks.push_back(device);
  return disks;
}

std::vector<dev_t> DiskAndPartitions(dev_t disk, const std::string& sysfs) {
  std::vector<dev_t> devices{disk};
  const fs::path dir = SysfsDir(disk, sysfs);
  if (dir.empty()) return devices;
  std::error_code ec;
  for (const auto& child : fs::directory_iterator(dir, ec)) {
    if (!fs::exists(child.path() / "partition", ec)) continue;
    if (auto dev = DevOfSysfsDir(child.path())) devices.push_back(*dev);
  }
  return devices;
}

std::vector<dev_t> LoopDevicesOf(const CardTarget& image, const std::string& sysfs) {
  std::vector<dev_t> devices;
  std::error_code ec;
  for (const auto& block : fs::directory_iterator(fs::path(sysfs) / "block", ec)) {
    if (block.path().filename().string().rfind("loop", 0) != 0) continue;
    const fs::path backing = block.path() / "loop" / "backing_file";
    if (!fs::exists(backing, ec)) continue;
    const std::string file = ReadSysText(backing.string());
    struct stat st {};
    if (stat(file.c_str(), &st) != 0 || st.st_dev != image.device || st.st_ino != image.inode) continue;
    if (auto dev = DevOfSysfsDir(block.path())) {
      for (dev_t d : DiskAndPartitions(*dev, sysfs)) devices.push_back(d);
    }
  }
  return devices;
}

std::string WhyCardIsInUse(const CardTarget& target, const std::vector<MountEntry>& mounts, dev_t rootDevice,
                           const std::string& sysfs) {
  const std::vector<dev_t> cardDevices =
      target.blockDevice ? DiskAndPartitions(target.device, sysfs) : LoopDevicesOf(target, sysfs);
  auto onCard = [&](dev_t device) {
    if (std::find(cardDevices.begin(), cardDevices.end(), device) != cardDevices.end()) return true;
    for (dev_t d : DisksBelow(device, sysfs))
      if (std::find(cardDevices.begin(), cardDevices.end(), d) != cardDevices.end()) return true;
    return false;
  };
  // A mount's own number may be anonymous (btrfs, overlays); its source
  // device then tells where it lives.
  auto deviceOf = [](const MountEntry& m) -> std::optional<dev_t> {
    struct stat st {};
    if (m.source.rfind("/dev/", 0) == 0 && stat(m.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return st.st_rdev;
    return std::nullopt;
  };

  if (target.blockDevice) {
    bool root = onCard(rootDevice);
    for (const MountEntry& m : mounts) {
      if (m.mountPoint != "/") continue;
      if (onCard(m.device)) root = true;
      if (auto src = deviceOf(m); src && onCard(*src)) root = true;
    }
    if (root) return target.path + " holds the running system's root file system; it is never restored.";
  }
  if (cardDevices.empty()) return {};
  for (const MountEntry& m : mounts) {
    const auto src = deviceOf(m);
    if (onCard(m.device) || (src && onCard(*src))) {
      return target.path + " is in use: " + (m.source.empty() ? std::string("a partition") : m.source) +
             " is mounted on " + m.mountPoint + ". Unmount it and try again.";
    }
  }
  return {};
}

std::vector<MountEntry> ReadMounts(const SystemRoots& roots) {
  std::ifstream in(fs::path(roots.proc) / "self" / "mountinfo");
  std::stringstream text;
  text << in.rdbuf();
  return ParseMountInfo(text.str());
}

std::vector<dev_t> DisksOfMount(const MountEntry& mount, const SystemRoots& roots) {
  std::vector<dev_t> devices;
  // An anonymous number (btrfs, overlays) is not in sysfs; the source is.
  if (!BlockDeviceName(mount.device, roots).empty()) devices.push_back(mount.device);
  if (auto source = ResolveDevicePath(mount.source, roots)) AddUnique(devices, *source);
  std::vector<dev_t> disks;
  for (dev_t d : devices)
    for (dev_t disk : DisksBelow(d, roots.sysfs)) AddUnique(disks, disk);
  return disks;
}

bool IsSystemMountPoint(const std::string& point) {
  if (point == "/") return true;
  static const char* const kSystemFolders[] = {"/boot", "/usr",  "/var",  "/etc",   "/home", "/opt",
                                               "/srv",  "/root", "/tmp",  "/nix",   "/gnu",  "/snap",
                                               "/lib",  "/bin",  "/sbin", "/lib64", "/efi"};
  for (const char* folder : kSystemFolders) {
    const std::string f = folder;
    if (point == f || point.rfind(f + "/", 0) == 0) return true;
  }
  return false;
}

std::vector<SystemDisk> SystemDisks(const SystemRoots& roots) {
  std::vector<SystemDisk> disks;
  auto add = [&](dev_t disk, const std::string& why) {
    for (const SystemDisk& d : disks)
      if (d.disk == disk) return;
    disks.push_back({disk, why});
  };
  const std::vector<MountEntry> mounts = ReadMounts(roots);
  for (const MountEntry& m : mounts) {
    if (!IsSystemMountPoint(m.mountPoint)) continue;
    for (dev_t disk : DisksOfMount(m, roots))
      add(disk, m.mountPoint + " is mounted from " + (m.source.empty() ? std::string("it") : m.source));
  }
  if (roots.Live()) {
    // The root's own number, should mountinfo not name it.
    struct stat st {};
    if (stat("/", &st) == 0)
      for (dev_t disk : DisksBelow(st.st_dev, roots.sysfs)) add(disk, "it holds the root file system /");
  }

  // Swap: a partition by its name, a swap file through the mount it lies on.
  std::ifstream swaps(fs::path(roots.proc) / "swaps");
  std::string line;
  std::getline(swaps, line);  // the heading
  while (std::getline(swaps, line)) {
    std::istringstream in(line);
    std::string file, type;
    if (!(in >> file >> type)) continue;
    file = UnescapeOctal(file);
    std::vector<dev_t> under;
    if (type == "partition") {
      if (auto d = ResolveDevicePath(file, roots)) under = DisksBelow(*d, roots.sysfs);
    } else {
      const MountEntry* best = nullptr;
      for (const MountEntry& m : mounts) {
        const std::string& p = m.mountPoint;
        const bool below = p == "/" || file == p || file.rfind(p + "/", 0) == 0;
        if (below && (best == nullptr || p.size() >= best->mountPoint.size())) best = &m;
      }
      if (best != nullptr) under = DisksOfMount(*best, roots);
    }
    for (dev_t disk : under) add(disk, "swap is on " + file);
  }
  return disks;
}

namespace {

// A descriptor opened for writing: its flags in fdinfo, in octal, carry
// O_WRONLY or O_RDWR.
bool OpenForWriting(const fs::path& fd) {
  std::ifstream in(fd.parent_path().parent_path() / "fdinfo" / fd.filename());
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("flags:", 0) != 0) continue;
    const unsigned long flags = std::strtoul(line.c_str() + 6, nullptr, 8);
    return (flags & 3U) != 0;
  }
  return false;
}

// The card's own block devices: the disk and its partitions, or the loop
// devices that present the image.
std::vector<dev_t> CardDevices(const CardTarget& target, const SystemRoots& roots) {
  return target.blockDevice ? DiskAndPartitions(target.device, roots.sysfs) : LoopDevicesOf(target, roots.sysfs);
}

void AddProcesses(std::vector<HoldingProcess>& to, const std::vector<HoldingProcess>& more) {
  for (const HoldingProcess& p : more)
    if (std::none_of(to.begin(), to.end(), [&p](const HoldingProcess& h) { return h.pid == p.pid; })) to.push_back(p);
  std::sort(to.begin(), to.end(), [](const auto& a, const auto& b) { return a.pid < b.pid; });
}

}  // namespace

namespace {

// Processes with one of the devices open; only those writing to it when
// writing.
std::vector<HoldingProcess> ProcessesOnDevices(const std::vector<dev_t>& devices, const SystemRoots& roots,
                                               bool writing) {
  if (devices.empty()) return {};
  std::vector<std::string> nodes;
  for (dev_t d : devices)
    if (const std::string name = BlockDeviceName(d, roots); !name.empty()) nodes.push_back("/dev/" + name);
  return ScanProcesses(roots, [&](const fs::path& fd, const std::string& target) {
    bool on = std::find(nodes.begin(), nodes.end(), target) != nodes.end();
    if (!on && roots.Live() && MayBeTheCard(target)) {
      struct stat st {};
      on = stat(fd.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
           std::find(devices.begin(), devices.end(), st.st_rdev) != devices.end();
    }
    return on && (!writing || OpenForWriting(fd));
  });
}

}  // namespace

std::vector<HoldingProcess> ProcessesWithDevicesOpen(const std::vector<dev_t>& devices, const SystemRoots& roots) {
  return ProcessesOnDevices(devices, roots, false);
}

std::vector<HoldingProcess> ProcessesWritingTo(const std::vector<dev_t>& devices, const SystemRoots& roots) {
  return ProcessesOnDevices(devices, roots, true);
}

std::vector<HoldingProcess> ProcessesWithFileOpen(const std::string& path, dev_t device, ino_t inode,
                                                  const SystemRoots& roots) {
  std::vector<HoldingProcess> found = ScanProcesses(roots, [&](const fs::path& fd, const std::string& target) {
    if (target == path) return true;
    if (!roots.Live() || !MayBeTheCard(target)) return false;
    struct stat st {};
    return stat(fd.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == device && st.st_ino == inode;
  });
  // A lock outlives the descriptor that took it in a child that inherited
  // it; /proc/locks names the process that holds it.
  std::ifstream locks(fs::path(roots.proc) / "locks");
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(device), minor(device),
                static_cast<unsigned long long>(inode));
  for (std::string line; std::getline(locks, line);) {
    std::istringstream in(line);
    std::string number, kind, mode, access, pid, id;
    if (!(in >> number >> kind >> mode >> access >> pid >> id) || id != wanted || !IsNumber(pid)) continue;
    const int p = std::atoi(pid.c_str());
    if (roots.Live() && p == getpid()) continue;
    if (std::none_of(found.begin(), found.end(), [p](const HoldingProcess& h) { return h.pid == p; }))
      found.push_back({p, CommandOf(fs::path(roots.proc) / pid)});
  }
  return found;
}

std::vector<std::string> DevicesBuiltOn(const std::vector<dev_t>& devices, const SystemRoots& roots) {
  std::vector<std::string> built;
  for (dev_t d : devices) {
    std::error_code ec;
    const fs::path dir = fs::canonical(fs::path(roots.sysfs) / "dev" / "block" / DevText(d), ec);
    if (ec) continue;
    for (const auto& holder : fs::directory_iterator(dir / "holders", ec)) {
      const std::string name = holder.path().filename().string();
      const std::string dmName =
          ReadSysText((fs::path(roots.sysfs) / "class" / "block" / name / "dm" / "name").string());
      const std::string text = dmName.empty() ? name : name + " (" + dmName + ")";
      if (std::find(built.begin(), built.end(), text) == built.end()) built.push_back(text);
    }
  }
  return built;
}

std::vector<std::string> MountPointsOn(const std::vector<dev_t>& devices, const std::vector<MountEntry>& mounts,
                                       const SystemRoots& roots) {
  std::vector<dev_t> disks;
  for (dev_t d : devices) AddUnique(disks, d);
  std::vector<std::string> points;
  for (const MountEntry& m : mounts) {
    bool on = std::find(devices.begin(), devices.end(), m.device) != devices.end();
    if (!on) {
      const auto source = ResolveDevicePath(m.source, roots);
      on = source && std::find(devices.begin(), devices.end(), *source) != devices.end();
    }
    if (!on) {
      // Through a mapped device built on the card (dm-crypt, LVM).
      for (dev_t disk : DisksOfMount(m, roots))
        if (std::find(devices.begin(), devices.end(), disk) != devices.end()) on = true;
    }
    if (on && std::find(points.begin(), points.end(), m.mountPoint) == points.end()) points.push_back(m.mountPoint);
  }
  return points;
}

std::string DescribeHolders(const std::vector<std::string>& mountPoints, const std::vector<HoldingProcess>& processes,
                            const std::vector<std::string>& builtOn) {
  std::string text;
  auto part = [&text](const std::string& p) { text += (text.empty() ? "" : "; ") + p; };
  if (!mountPoints.empty()) {
    std::string p = "mounted on ";
    for (std::size_t i = 0; i < mountPoints.size(); ++i) p += (i ? ", " : "") + EscapeForTerminal(mountPoints[i]);
    part(p);
  }
  if (!builtOn.empty()) {
    std::string p = "used by ";
    for (std::size_t i = 0; i < builtOn.size(); ++i) p += (i ? ", " : "") + EscapeForTerminal(builtOn[i]);
    part(p);
  }
  if (!processes.empty()) {
    std::string p = "open in ";
    for (std::size_t i = 0; i < processes.size(); ++i)
      p += (i ? ", " : "") + std::string("PID ") + std::to_string(processes[i].pid) + " (" +
           EscapeForTerminal(processes[i].command) + ")";
    part(p);
  }
  return text;
}

std::string WhyCardHoldsTheSystem(const CardTarget& target, const SystemRoots& roots) {
  if (!target.blockDevice) return {};
  const std::vector<dev_t> below = DisksBelow(target.device, roots.sysfs);
  for (const SystemDisk& d : SystemDisks(roots)) {
    if (d.disk == target.device || std::find(below.begin(), below.end(), d.disk) != below.end())
      return target.path + " holds the running system (" + d.why + "); it is never restored.";
  }
  return {};
}

std::string WhyCardIsHeld(const CardTarget& target, const SystemRoots& roots) {
  if (std::string why = WhyCardHoldsTheSystem(target, roots); !why.empty()) return why;
  const std::vector<dev_t> devices = CardDevices(target, roots);
  const std::vector<std::string> points = MountPointsOn(devices, ReadMounts(roots), roots);
  const std::vector<std::string> built = DevicesBuiltOn(devices, roots);
  std::vector<HoldingProcess> writers = ProcessesWritingTo(devices, roots);
  if (!target.blockDevice) {
    std::vector<HoldingProcess> onFile = ScanProcesses(roots, [&](const fs::path& fd, const std::string& file) {
      bool same = file == target.path;
      if (!same && roots.Live() && MayBeTheCard(file)) {
        struct stat st {};
        same = stat(fd.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == target.device &&
               st.st_ino == target.inode;
      }
      return same && OpenForWriting(fd);
    });
    AddProcesses(writers, onFile);
  }
  const std::string holders = DescribeHolders(points, writers, built);
  if (holders.empty()) return {};
  return target.path + " is in use: " + holders + ". Free it and try again.";
}

std::string WhatHoldsCard(const CardTarget& target, const SystemRoots& roots) {
  const std::vector<dev_t> devices = CardDevices(target, roots);
  std::vector<HoldingProcess> processes = ProcessesWithDevicesOpen(devices, roots);
  if (!target.blockDevice)
    AddProcesses(processes, ProcessesWithFileOpen(target.path, target.device, target.inode, roots));
  return DescribeHolders(MountPointsOn(devices, ReadMounts(roots), roots), processes, DevicesBuiltOn(devices, roots));
}

}  // namespace tessarin::linux_port
