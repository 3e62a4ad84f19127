// The card's device calls under Wine: a volume that cannot be opened, and
// single-sector transfers on the test drive's volume image.
#include <gtest/gtest.h>

#include <cstring>

#include "test_helpers.h"
#include "win32/card/win32_device_api.h"
#include "win32_world.h"

namespace tessarin::test {
namespace {

// A letter no drive of the prefix uses.
char UnusedLetter() {
  const DWORD used = GetLogicalDrives();
  for (char c = 'K'; c <= 'Y'; ++c) {
    if ((used & (1u << (c - 'A'))) == 0 && c != kTestDriveLetter) return c;
  }
  return '\0';
}

std::string VolumePath(char letter) { return std::string("\\\\.\\") + letter + ":"; }

TEST(Win32DeviceApi, AVolumeThatCannotBeOpenedStopsTheAcquisitionWith109) {
  const char letter = UnusedLetter();
  ASSERT_NE(letter, '\0');
  Win32World world;
  const std::string drive = MakeDriveEntry(static_cast<char>(letter - 'A' + 'a'));
  EXPECT_EQ(world.card.SetVolumeLock(drive, true), 0);
  EXPECT_TRUE(world.card.IsVolumeHandleInvalid());
  EXPECT_EQ(world.card.handles().diskHandle, kNoHandle);
  ASSERT_EQ(world.ui.boxes.size(), 1u);
  EXPECT_EQ(world.ui.boxes[0].text, "Cannot open or read destination drive.");
  EXPECT_EQ(world.ui.boxes[0].flags, 0x30u);
  EXPECT_EQ(world.ui.animationStops, 1u);

  // Releasing closes what is there and empties both slots.
  EXPECT_EQ(world.card.SetVolumeLock(drive, false), 1);
  EXPECT_EQ(world.card.handles().volumeHandle, kNoHandle);
  SectorBuffer buffer = world.card.AllocateSector();
  EXPECT_FALSE(world.card.ReadVolumeBootSector(drive, buffer));
}

TEST(Win32DeviceApi, SectorTransfersReachTheVolumeImage) {
  Win32DeviceApi api;
  const DeviceHandle volume = api.Open(VolumePath(kTestDriveLetter));
  ASSERT_NE(volume, kInvalidHandle) << "the suite's fixture links " << kTestDriveLetter << ":: to an image";

  std::uint8_t* sector = api.AllocateSector();
  std::uint8_t* other = api.AllocateSector();
  ASSERT_NE(sector, nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(sector) % 4096, 0u) << "page-aligned";
  for (std::size_t i = 0; i < kSectorSize; ++i) ASSERT_EQ(sector[i], 0) << "zero-filled";

  // A fresh handle stands at the volume's first sector: FORMAT's boot sector.
  std::uint32_t moved = 0;
  ASSERT_TRUE(api.Read(volume, sector, kSectorSize, moved));
  EXPECT_EQ(moved, kSectorSize);
  EXPECT_EQ(sector[510], 0x55);
  EXPECT_EQ(sector[511], 0xAA);
  EXPECT_EQ(std::memcmp(sector + 43, "QV         ", 11), 0) << "the volume label";

  // The write goes to sector 0 only after repositioning.
  std::memcpy(sector + 3, "TESSARIN", 8);
  ASSERT_TRUE(api.SeekToStart(volume));
  ASSERT_TRUE(api.Write(volume, sector, kSectorSize, moved));
  EXPECT_EQ(moved, kSectorSize);
  ASSERT_TRUE(api.Read(volume, other, kSectorSize, moved));  // the next sector
  EXPECT_NE(std::memcmp(other, sector, kSectorSize), 0);
  // Read back as the boot-record steps do: flushed, from byte 0 again.
  ASSERT_TRUE(api.Flush(volume)) << api.LastError();
  ASSERT_TRUE(api.SeekToStart(volume));
  ASSERT_TRUE(api.Read(volume, other, kSectorSize, moved));
  EXPECT_EQ(std::memcmp(other, sector, kSectorSize), 0);

  api.FreeSector(sector);
  api.FreeSector(other);
  api.Close(volume);

  // Reopened, the change is on the image.
  const DeviceHandle again = api.Open(VolumePath(kTestDriveLetter));
  ASSERT_NE(again, kInvalidHandle);
  std::uint8_t* check = api.AllocateSector();
  ASSERT_TRUE(api.Read(again, check, kSectorSize, moved));
  EXPECT_EQ(std::memcmp(check + 3, "TESSARIN", 8), 0);
  api.FreeSector(check);
  api.Close(again);
}

// The writable query asks a device it can open; Wine's volumes answer what
// they answer, a drive that is not there gives no answer at all.
TEST(Win32DeviceApi, TheWritableQueryNeedsADevice) {
  const char unused = UnusedLetter();
  ASSERT_NE(unused, '\0');
  Win32DeviceApi api;
  EXPECT_FALSE(api.IsWritable(VolumePath(unused)).has_value());
}

TEST(Win32DeviceApi, VolumeSectorsAreReadWithoutHoldingTheCard) {
  // The check after the installer: the card is not held, the volume is
  // opened, flushed, read at the sector and closed again.
  Win32World world;
  const std::string drive = MakeDriveEntry(static_cast<char>(kTestDriveLetter - 'A' + 'a'));
  SectorBuffer sector = world.card.AllocateSector();
  ASSERT_TRUE(world.card.ReadVolumeSector(drive, 0, sector)) << world.card.LastError().code;
  EXPECT_EQ(std::memcmp(sector.data() + 43, "QV         ", 11), 0) << "the boot sector";
  // The first FAT of the FAT16 image begins with the media byte and FF.
  const std::uint16_t reserved = static_cast<std::uint16_t>(sector.data()[14] | sector.data()[15] << 8);
  ASSERT_TRUE(world.card.ReadVolumeSector(drive, reserved, sector));
  EXPECT_EQ(sector.data()[0], 0xF8);
  EXPECT_EQ(sector.data()[1], 0xFF);
  EXPECT_EQ(world.card.handles().volumeHandle, kNoHandle) << "CardHandles are left alone";
  EXPECT_TRUE(world.ui.boxes.empty());

  const char unused = UnusedLetter();
  ASSERT_NE(unused, '\0');
  EXPECT_FALSE(world.card.ReadVolumeSector(MakeDriveEntry(unused), 0, sector));
  EXPECT_EQ(world.card.LastError().kind, FailureKind::Open);
}

TEST(Win32DeviceApi, TransfersOnAnInvalidHandleFail) {
  Win32DeviceApi api;
  std::uint8_t* sector = api.AllocateSector();
  std::uint32_t moved = 0;
  EXPECT_FALSE(api.Read(kInvalidHandle, sector, kSectorSize, moved));
  EXPECT_EQ(api.LastError(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(api.Write(kInvalidHandle, sector, kSectorSize, moved));
  EXPECT_FALSE(api.Flush(kInvalidHandle));
  DiskExtents extents;
  EXPECT_FALSE(api.GetVolumeDiskExtents(kInvalidHandle, extents));
  api.FreeSector(sector);
}

}  // namespace
}  // namespace tessarin::test
