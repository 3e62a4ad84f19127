// The unattended restore over the Windows ports, as far as Wine's devices
// go.
#include <gtest/gtest.h>

#include "restore/unattended_restore.h"
#include "test_helpers.h"
#include "win32_world.h"

namespace tessarin::test {
namespace {

TEST(Win32Unattended, StopsWhereTheDevicesEnd) {
  struct Case {
    std::string arguments;
    std::string box;
  } cases[] = {
      // Wine opens the volume but answers the disk-extent query with an error.
      {"/drive:q", "Retrieving Drive DiskExtents failed."},
      // A drive the drive list leaves out is never formatted.
      {"/DRIVE:C",
       "Drive C: cannot be restored.\n\nOnly removable and fixed drives other than C: and the system drive can be "
       "restored."},
      {"/DRIVE:", "You must specify a destination drive."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const auto drive = FindUnattendedDrive(c.arguments);
    ASSERT_TRUE(drive.has_value());
    Win32World world;
    EXPECT_FALSE(RunUnattendedRestore(world.ctx, *drive));
    ASSERT_EQ(world.ui.boxes.size(), 1u);
    EXPECT_EQ(world.ui.boxes[0].text, c.box);
    EXPECT_EQ(world.ui.boxes[0].flags, 0x30u);
    EXPECT_TRUE(world.ui.lines.empty()) << "the unattended restore writes no log";
    EXPECT_EQ(world.card.handles().diskHandle, kNoHandle);
  }
}

}  // namespace
}  // namespace tessarin::test
