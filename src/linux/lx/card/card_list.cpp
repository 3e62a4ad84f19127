#include "lx/card/card_list.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "lx/support/json_line.h"
#include "lx/support/terminal_text.h"

namespace fs = std::filesystem;

namespace tessarin::linux_port {
namespace {

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }
bool Contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  std::size_t start = 0;
  while (start < s.size() && (s[start] == ' ' || s[start] == '\t')) ++start;
  return s.substr(start);
}

// udev's database entry of a block device: its E: lines.
std::vector<std::pair<std::string, std::string>> UdevProperties(dev_t device, const SystemRoots& roots) {
  std::vector<std::pair<std::string, std::string>> properties;
  std::ifstream in(fs::path(roots.udev) / "data" /
                   ("b" + std::to_string(major(device)) + ":" + std::to_string(minor(device))));
  for (std::string line; std::getline(in, line);) {
    if (!StartsWith(line, "E:")) continue;
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) properties.emplace_back(line.substr(2, eq - 2), line.substr(eq + 1));
  }
  return properties;
}

std::string Property(const std::vector<std::pair<std::string, std::string>>& properties, const std::string& key) {
  for (const auto& [k, v] : properties)
    if (k == key) return v;
  return {};
}

// udev's _ENC values write blanks and odd bytes as \xNN.
std::string DecodeUdev(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string BusOf(const std::string& name, const std::string& devicePath, const std::string& udevBus) {
  if (StartsWith(name, "loop")) return "loop";
  if (Contains(devicePath, "/usb")) return "usb";
  if (StartsWith(name, "mmcblk") || Contains(devicePath, "/mmc_host/")) return "mmc";
  if (StartsWith(name, "nvme") || Contains(devicePath, "/nvme/")) return "nvme";
  if (Contains(devicePath, "/virtio")) return "virtio";
  if (Contains(devicePath, "/ata")) return "ata";
  if (Contains(devicePath, "/host")) return "scsi";
  if (!udevBus.empty()) return udevBus;
  return "other";
}

// Devices that are never a card: optical drives, network block devices,
// RAM disks, compressed swap, mapped devices, floppies, and the boot areas
// of an eMMC.
bool NeverACard(const std::string& name, const std::string& devicePath, const fs::path& dir) {
  for (const char* prefix :
       {"sr", "nbd", "rbd", "ram", "zram", "dm-", "md", "fd", "drbd", "bcache", "nullb", "pmem", "scd"}) {
    if (StartsWith(name, prefix)) return true;
  }
  if (StartsWith(name, "mmcblk") && (Contains(name, "boot") || Contains(name, "rpmb"))) return true;
  // An iSCSI or Fibre Channel disk lives on the network.
  if (Contains(devicePath, "/session") || Contains(devicePath, "/rport-")) return true;
  // A SCSI device of type 5 is a CD or DVD drive.
  if (ReadSysText((dir / "device" / "type").string()) == "5") return true;
  if (Contains(devicePath, "/devices/virtual/") && !StartsWith(name, "loop")) return true;
  return false;
}

// A USB device's serial number: the "serial" beside "idVendor" in one of
// the parents of the disk's device.
std::string UsbSerial(const fs::path& deviceDir) {
  std::error_code ec;
  for (fs::path p = deviceDir; !p.empty() && p != p.root_path(); p = p.parent_path()) {
    if (fs::exists(p / "idVendor", ec)) return ReadSysText((p / "serial").string());
    if (p.filename() == "devices") break;
  }
  return {};
}

}  // namespace

std::string SizeText(std::uint64_t bytes) {
  const char* units[] = {"B", "kB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1000 && u < 4) {
    v /= 1000;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
  return buf;
}

std::optional<ListedCard> DescribeDisk(dev_t disk, const SystemRoots& roots) {
  const std::string name = BlockDeviceName(disk, roots);
  if (name.empty()) return std::nullopt;
  std::error_code ec;
  const fs::path dir = fs::canonical(fs::path(roots.sysfs) / "class" / "block" / name, ec);
  if (ec) return std::nullopt;
  const auto udev = UdevProperties(disk, roots);
  ListedCard c;
  c.name = name;
  c.path = "/dev/" + name;
  c.device = disk;
  const std::string sectors = ReadSysText((dir / "size").string());
  c.sizeBytes = sectors.empty() ? 0 : std::stoull(sectors) * 512;
  c.mediaPresent = c.sizeBytes > 0;
  c.removable = ReadSysText((dir / "removable").string()) == "1";
  c.readOnly = ReadSysText((dir / "ro").string()) == "1";
  c.bus = BusOf(name, dir.string(), Property(udev, "ID_BUS"));

  const fs::path device = dir / "device";
  c.vendor = Trim(ReadSysText((device / "vendor").string()));
  c.model = Trim(ReadSysText((device / "model").string()));
  if (c.bus == "mmc") {
    // An SD or MMC card names itself: its type, product name and serial.
    c.vendor = ReadSysText((device / "type").string());
    c.model = Trim(ReadSysText((device / "name").string()));
    c.serial = ReadSysText((device / "serial").string());
  }
  if (c.bus == "virtio" || c.bus == "loop") c.vendor.clear();  // a PCI vendor number, not a name
  if (c.vendor.empty()) c.vendor = Trim(DecodeUdev(Property(udev, "ID_VENDOR_ENC")));
  if (c.vendor.empty()) c.vendor = Property(udev, "ID_VENDOR");
  if (c.model.empty()) c.model = Trim(DecodeUdev(Property(udev, "ID_MODEL_ENC")));
  if (c.model.empty()) c.model = Property(udev, "ID_MODEL");
  if (c.serial.empty()) c.serial = Property(udev, "ID_SERIAL_SHORT");
  if (c.serial.empty()) c.serial = ReadSysText((dir / "serial").string());           // virtio
  if (c.serial.empty()) c.serial = Trim(ReadSysText((device / "serial").string()));  // nvme
  if (c.serial.empty() && c.bus == "usb") c.serial = UsbSerial(fs::canonical(device, ec));
  if (c.bus == "loop") c.backingFile = ReadSysText((dir / "loop" / "backing_file").string());
  return c;
}

std::vector<ListedCard> ListCards(const SystemRoots& roots, const CardListOptions& options) {
  const std::vector<SystemDisk> systemDisks = SystemDisks(roots);
  const std::vector<MountEntry> mounts = ReadMounts(roots);
  std::vector<ListedCard> cards;
  std::error_code ec;
  std::vector<fs::path> blocks;
  for (const auto& entry : fs::directory_iterator(fs::path(roots.sysfs) / "block", ec)) blocks.push_back(entry.path());
  std::sort(blocks.begin(), blocks.end());
  for (const fs::path& entry : blocks) {
    const std::string name = entry.filename().string();
    const fs::path dir = fs::canonical(entry, ec);
    if (ec) continue;
    if (NeverACard(name, dir.string(), dir)) continue;
    const auto number = BlockDeviceByName(name, roots);
    if (!number) continue;
    if (std::any_of(systemDisks.begin(), systemDisks.end(), [&](const SystemDisk& d) { return d.disk == *number; }))
      continue;
    auto card = DescribeDisk(*number, roots);
    if (!card) continue;
    if (card->bus == "loop") {
      // A loop device without a file behind it is no disk at all.
      if (card->backingFile.empty() || !options.all) continue;
    } else {
      const bool cardLike = card->removable || card->bus == "usb" || card->bus == "mmc";
      if (!cardLike && !options.all) continue;
    }
    const std::vector<dev_t> devices = DiskAndPartitions(*number, roots.sysfs);
    card->mountPoints = MountPointsOn(devices, mounts, roots);
    card->builtOn = DevicesBuiltOn(devices, roots);
    card->openBy = ProcessesWithDevicesOpen(devices, roots);
    if (card->mediaPresent) card->summary = SummarizeCardAt((fs::path(roots.dev) / name).string());
    cards.push_back(std::move(*card));
  }
  return cards;
}

std::string CardTable(const std::vector<ListedCard>& cards) {
  const std::vector<std::string> heading = {"DEVICE", "SIZE", "BUS",    "VENDOR/MODEL",
                                            "MEDIA",  "RO",   "IN USE", "FIRST PARTITION"};
  std::vector<std::vector<std::string>> rows{heading};
  for (const ListedCard& c : cards) {
    std::string identity = Trim(c.vendor + " " + c.model);
    if (!c.backingFile.empty()) identity = c.backingFile;
    std::string inUse = DescribeHolders(c.mountPoints, c.openBy, c.builtOn);
    rows.push_back({c.path, c.mediaPresent ? SizeText(c.sizeBytes) : "-", c.bus,
                    identity.empty() ? "-" : EscapeForTerminal(identity), c.mediaPresent ? "yes" : "no",
                    c.readOnly ? "yes" : "no", inUse.empty() ? "no" : inUse,
                    c.mediaPresent ? EscapeForTerminal(DescribeFirstPartition(c.summary)) : "-"});
  }
  // Columns as wide as their widest cell, counted in characters.
  auto width = [](const std::string& s) {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char ch) { return (ch & 0xC0) != 0x80; }));
  };
  std::vector<std::size_t> widths(heading.size(), 0);
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], width(row[i]));
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - width(row[i]) + 2, ' ');
    }
    out += line + "\n";
  }
  return out;
}

std::string CardJsonLines(const std::vector<ListedCard>& cards) {
  std::string out;
  for (const ListedCard& c : cards) {
    JsonObject o;
    o.Str("device", c.path).Str("name", c.name).UInt("size", c.sizeBytes).Str("bus", c.bus);
    o.Str("vendor", c.vendor).Str("model", c.model).Str("serial", c.serial);
    if (!c.backingFile.empty()) o.Str("backing_file", c.backingFile);
    o.Bool("removable", c.removable).Bool("media", c.mediaPresent).Bool("read_only", c.readOnly);
    o.Bool("in_use", c.InUse());
    JsonArray points;
    for (const std::string& p : c.mountPoints) points.Add(JsonString(p));
    o.Raw("mount_points", points.Text());
    JsonArray built;
    for (const std::string& b : c.builtOn) built.Add(JsonString(b));
    o.Raw("used_by", built.Text());
    JsonArray processes;
    for (const HoldingProcess& p : c.openBy)
      processes.Add(JsonObject().Int("pid", p.pid).Str("command", p.command).Text());
    o.Raw("open_by", processes.Text());
    if (!c.mediaPresent || c.summary.layout == CardSummary::Layout::Unreadable) {
      o.Null("first_partition");
    } else {
      JsonObject p;
      const CardSummary& s = c.summary;
      switch (s.layout) {
        case CardSummary::Layout::Blank:
          p.Str("table", "none");
          break;
        case CardSummary::Layout::Superfloppy:
          p.Str("table", "none").Str("layout", "volume from sector 0");
          break;
        default:
          p.Str("table", "mbr").Int("type", s.type).Str("type_name", PartitionTypeName(s.type));
          p.UInt("start", s.start).UInt("sectors", s.sectors);
          break;
      }
      if (s.volume) {
        p.Str("file_system", s.volume->fileSystem).Str("label", s.volume->label);
        p.OptStr("volume_serial",
                 s.volume->serial ? std::optional<std::string>(VolumeSerialText(*s.volume->serial)) : std::nullopt);
      }
      o.Raw("first_partition", p.Text());
    }
    out += o.Text() + "\n";
  }
  return out;
}

int ListCardsCommand(const CardListOptions& options, bool json) {
  const std::vector<ListedCard> cards = ListCards(SystemRoots{}, options);
  const std::string text = json ? CardJsonLines(cards) : cards.empty() ? std::string() : CardTable(cards);
  std::fputs(text.c_str(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return 1;
  if (cards.empty() && !json) {
    std::fputs(options.all ? "tessarin: no card found\n"
                           : "tessarin: no card found (--all lists fixed disks and loop devices too)\n",
               stderr);
  }
  return 0;
}

}  // namespace tessarin::linux_port
