// The block devices that could be a panel's card, as the Windows program's
// drive list offers removable and fixed drives but never the system's:
// removable media, USB and SD/MMC readers; on request also other fixed
// disks (industrial CF adapters often are) and loop devices. Never the
// disks the running system stands on, never optical or network devices.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lx/card/block_devices.h"
#include "lx/card/card_summary.h"

namespace tessarin::linux_port {

struct ListedCard {
  std::string name;  // "sdb"
  std::string path;  // "/dev/sdb"
  dev_t device = 0;
  std::uint64_t sizeBytes = 0;
  std::string bus;  // usb, mmc, ata, scsi, nvme, virtio, loop, other
  std::string vendor;
  std::string model;
  std::string serial;
  std::string backingFile;  // loop devices
  bool removable = false;
  bool mediaPresent = false;
  bool readOnly = false;
  std::vector<std::string> mountPoints;  // of the disk and its partitions
  std::vector<std::string> builtOn;      // mapped devices on it
  std::vector<HoldingProcess> openBy;    // processes holding it or a partition open
  CardSummary summary;                   // read when media is present
  bool InUse() const { return !mountPoints.empty() || !builtOn.empty() || !openBy.empty(); }
};

struct CardListOptions {
  bool all = false;  // fixed disks and loop devices too
};

std::vector<ListedCard> ListCards(const SystemRoots& roots, const CardListOptions& options);

// The list as a table for people, and as JSON, one object per line.
std::string CardTable(const std::vector<ListedCard>& cards);
std::string CardJsonLines(const std::vector<ListedCard>& cards);

// The card's size for people: "1.9 GB", decimal units as on the card's box.
std::string SizeText(std::uint64_t bytes);

// A whole disk's identity for the reports: bus, vendor and model, serial.
// None when sysfs does not know the device.
std::optional<ListedCard> DescribeDisk(dev_t disk, const SystemRoots& roots);

// tessarin --list: the table on standard output (JSON lines with json), a
// note on standard error when nothing was found. Returns the exit status.
int ListCardsCommand(const CardListOptions& options, bool json);

}  // namespace tessarin::linux_port
