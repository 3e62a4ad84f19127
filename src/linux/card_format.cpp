#include "linux/card_format.h"

#include <unistd.h>

#include <chrono>
#include <cstring>

#include "linux/card_settle.h"
#include "linux/process.h"

namespace tessarin::linux_port {

std::optional<Geometry> RecordedGeometry(const std::uint8_t* b) {
  const unsigned bytesPerSector = b[11] | b[12] << 8;
  const unsigned sectorsPerTrack = b[24] | b[25] << 8;
  const unsigned heads = b[26] | b[27] << 8;
  if (b[510] != 0x55 || b[511] != 0xAA || bytesPerSector != 512) return std::nullopt;
  if (heads < 1 || heads > 256 || sectorsPerTrack < 1 || sectorsPerTrack > 63) return std::nullopt;
  return Geometry{heads, sectorsPerTrack};
}

std::vector<std::string> FormatCommand(const CardTarget& target, const std::optional<Geometry>& geometry) {
  const std::string start = std::to_string(target.partitionStart);
  std::vector<std::string> argv{"mkfs.fat", "-F", "32", "-n", "QV", "-S", "512", "-h", start, "--offset=" + start};
  if (geometry)
    argv.insert(argv.end(), {"-g", std::to_string(geometry->heads) + "/" + std::to_string(geometry->sectorsPerTrack)});
  // mkfs.fat refuses a whole disk on its own; this one was checked (not
  // mounted, not the system's disk, held by nobody) before.
  if (target.blockDevice) argv.push_back("-I");
  argv.push_back(target.path);
  argv.push_back(std::to_string(target.partitionSectors / 2));  // 1 KiB blocks
  return argv;
}

bool CardFormat::FormatCard(const std::string& /*driveEntry*/) {
  std::optional<Geometry> geometry;
  if (!target_.blockDevice) {
    std::uint8_t sector[512];
    if (pread(hold_.fd(), sector, sizeof sector, static_cast<off_t>(target_.VolumeOffset())) == sizeof sector)
      geometry = RecordedGeometry(sector);
  }
  hold_.NoteChange();
  // mkfs.fat opens a block device exclusively itself; the hold's lock
  // keeps another restore away meanwhile.
  hold_.SuspendExclusive();
  progress_.Begin("Formatting");
  const ProcessResult r = RunProcess(FormatCommand(target_, geometry));
  progress_.End();
  // Whether the card is still there is the next acquisition's question.
  hold_.ResumeExclusive();
  if (!r.ok() && diagnostic_) {
    if (!r.started)
      diagnostic_(std::string("mkfs.fat: ") + std::strerror(r.error));
    else
      diagnostic_("mkfs.fat failed: " + JoinLines(r.errors.empty() ? r.output : r.errors));
  }
  return r.ok();
}

void CardFormat::SettleAfterFormatting(const std::string& /*driveEntry*/) {
  const auto started = std::chrono::steady_clock::now();
  linux_port::SettleAfterFormatting(target_, hold_.fd(), diagnostic_);
  settleSeconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace tessarin::linux_port
