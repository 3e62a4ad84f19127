#include "lx/card/card_settle.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "lx/card/block_devices.h"
#include "lx/support/process.h"

namespace fs = std::filesystem;

namespace tessarin::linux_port {
namespace {

// The kernel's first partition of the disk: start and length in sectors.
std::pair<std::uint64_t, std::uint64_t> KernelFirstPartition(dev_t disk) {
  std::error_code ec;
  const fs::path dir =
      fs::canonical(fs::path("/sys/dev/block") / (std::to_string(major(disk)) + ":" + std::to_string(minor(disk))), ec);
  if (ec) return {0, 0};
  for (const auto& child : fs::directory_iterator(dir, ec)) {
    if (ReadSysText((child.path() / "partition").string()) != "1") continue;
    const std::string start = ReadSysText((child.path() / "start").string());
    const std::string size = ReadSysText((child.path() / "size").string());
    if (start.empty() || size.empty()) return {0, 0};
    return {std::stoull(start), std::stoull(size)};
  }
  return {0, 0};
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

SettleSteps SettleStepsFor(const CardTarget& target, std::uint64_t kernelStart, std::uint64_t kernelSectors,
                           bool haveUdevadm) {
  SettleSteps steps;
  if (!target.blockDevice) return steps;
  // A disk shown without partition devices (a loop device without
  // partition scanning) has nothing to bring up to date.
  const bool shown = kernelStart != 0 || kernelSectors != 0;
  steps.rereadPartitions = shown && (kernelStart != target.partitionStart || kernelSectors != target.partitionSectors);
  steps.askedUdev = haveUdevadm;
  return steps;
}

void SettleAfterFormatting(const CardTarget& target, int heldFd,
                           const std::function<void(const std::string&)>& diagnostic) {
  if (!target.blockDevice) return;
  const auto [start, sectors] = KernelFirstPartition(target.device);
  const SettleSteps steps = SettleStepsFor(target, start, sectors, OnPath("udevadm"));
  if (steps.rereadPartitions) {
    const int fd = heldFd >= 0 ? heldFd : open(target.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ioctl(fd, BLKRRPART) != 0) {
      if (diagnostic)
        diagnostic(target.path + ": the kernel could not read the partition table again: " + std::strerror(errno));
    }
    if (fd >= 0 && fd != heldFd) close(fd);
  }
  if (steps.askedUdev) {
    const ProcessResult r = RunProcess({"udevadm", "settle", "--timeout=" + std::to_string(kUdevSettleSeconds)});
    if (!r.ok() && diagnostic)
      diagnostic("udev did not settle within " + std::to_string(kUdevSettleSeconds) + " s; going on");
  }
}

}  // namespace tessarin::linux_port
