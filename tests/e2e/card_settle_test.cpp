// The wait after formatting: nothing for an image; for a block device the
// kernel's partition table brought up to date only when it differs from
// the card's, and udev's queue waited for when udevadm is there.
#include "lx/card/card_settle.h"

#include <gtest/gtest.h>

#include <fstream>

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

// Whole restores with a udevadm that only notes its calls: an image goes
// straight on, a block device waits for udev's queue.
TEST(SettleAfterFormatting, UdevIsAskedForABlockDeviceOnly) {
  Scratch s;
  fs::create_directories(s / "tmp");
  MakeCard(s / "card.img", {96, std::nullopt, true});
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  StandInTool(s / "bin", "udevadm", "echo \"$*\" >> " + Quote(s / "udevadm.calls"));
  const std::string path = "PATH=" + Quote(s / "bin") + ":$PATH";

  const Output image = RunTessarin(s.path(), s / "tmp", "--yes --timings card.img", path);
  ASSERT_EQ(image.status, 0) << image.err;
  EXPECT_FALSE(fs::exists(s / "udevadm.calls"));
  EXPECT_NE(image.err.find("waiting for the card after formatting 0.00"), std::string::npos) << image.err;

  const LoopDevice loop(s / "card.img");
  if (loop.device().empty()) GTEST_SKIP() << "no loop device to stand for a card reader: " << loop.error();
  const std::string& device = loop.device();
  const Output disk = RunTessarin(s.path(), s / "tmp", "--yes " + Quote(device), path);
  ASSERT_EQ(disk.status, 0) << disk.err;
  const std::string calls = ReadFileBytes(s / "udevadm.calls");
  EXPECT_EQ(calls.substr(0, calls.find('\n')), "settle --timeout=" + std::to_string(kUdevSettleSeconds));
}

}  // namespace
}  // namespace e2e
