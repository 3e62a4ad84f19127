// The wait after formatting: nothing for an image; for a block device the
// kernel's partition table brought up to date only when it differs from
// the card's, and udev's queue waited for when udevadm is there.
#include "linux/card_settle.h"

#include <gtest/gtest.h>

#include "e2e_support.h"

namespace e2e {
namespace {

using namespace tessarin::linux_port;

TEST(SettleAfterFormatting, OnlyWhatTheTargetNeeds) {
  CardTarget image;
  image.path = "/cards/card.img";
  image.partitionStart = 2048;
  image.partitionSectors = 194560;
  CardTarget disk = image;
  disk.path = "/dev/sdz";
  disk.blockDevice = true;
  struct Case {
    const char* name;
    const CardTarget* target;
    std::uint64_t kernelStart, kernelSectors;
    bool udevadm;
    bool reread, udev;
  };
  const Case cases[] = {
      {"image", &image, 0, 0, true, false, false},
      {"disk as the kernel knows it", &disk, 2048, 194560, true, false, true},
      {"disk whose partition the kernel sees elsewhere", &disk, 63, 194560, true, true, true},
      {"disk whose partition the kernel sees shorter", &disk, 2048, 1000, false, true, false},
      {"disk without partition devices", &disk, 0, 0, true, false, true},
      {"disk without udev", &disk, 2048, 194560, false, false, false},
  };
  for (const Case& c : cases) {
    const SettleSteps steps = SettleStepsFor(*c.target, c.kernelStart, c.kernelSectors, c.udevadm);
    EXPECT_EQ(steps.rereadPartitions, c.reread) << c.name;
    EXPECT_EQ(steps.askedUdev, c.udev) << c.name;
  }
}

}  // namespace
}  // namespace e2e
