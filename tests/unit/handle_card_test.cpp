#include "card/handle_card.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace tessarin::test {
namespace {

TEST(SetVolumeLock, AcquiresVolumeThenLocksThenOpensItsDisk) {
  World w;
  w.journal.clear();
  EXPECT_EQ(w.handleCard.SetVolumeLock("[-e-]", true), 1);
  EXPECT_EQ(w.journal, (Journal{"open \\\\.\\E:", "extents", "sleep 5000", "lock", "open \\\\.\\PhysicalDrive3"}));
  EXPECT_EQ(w.handleCard.handles().volumeHandle, FakeDeviceApi::kVolume);
  EXPECT_EQ(w.handleCard.handles().diskHandle, FakeDeviceApi::kDisk);
  EXPECT_TRUE(w.ui.boxes.empty());
}

TEST(SetVolumeLock, RefusedLockDismountsAndLocksAgainAndStillSucceeds) {
  for (int refused : {1, 2}) {
    World w;
    w.device.locksRefused = refused;
    w.journal.clear();
    EXPECT_EQ(w.handleCard.SetVolumeLock("[-e-]", true), 1);
    EXPECT_EQ(w.JournalOf("lock").size() + w.JournalOf("dismount").size(), 3u);
    EXPECT_EQ(w.journal[3], "lock");
    EXPECT_EQ(w.journal[4], "dismount");
    EXPECT_EQ(w.journal[5], "lock");
  }
}

TEST(SetVolumeLock, FailuresShowTheirMessageAndLeaveTheStatedHandles) {
  struct Case {
    const char* name;
    std::function<void(FakeDeviceApi&)> setup;
    const char* box;
    DeviceHandle volume;
    bool diskOpened;
  } cases[] = {
      {"volume", [](FakeDeviceApi& d) { d.volumeOpens = false; }, "Cannot open or read destination drive.",
       kInvalidHandle, false},
      {"extents", [](FakeDeviceApi& d) { d.extentsSucceed = false; }, "Retrieving Drive DiskExtents failed.",
       FakeDeviceApi::kVolume, false},
      {"no extent", [](FakeDeviceApi& d) { d.extents.numberOfDiskExtents = 0; }, "Retrieving Drive DiskExtents failed.",
       FakeDeviceApi::kVolume, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    c.setup(w.device);
    w.ui.StartProgressAnimation();
    w.journal.clear();
    EXPECT_EQ(w.handleCard.SetVolumeLock("[-e-]", true), 0);
    ASSERT_EQ(w.ui.boxes.size(), 1u);
    EXPECT_EQ(w.ui.boxes[0].text, c.box);
    EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);
    EXPECT_FALSE(w.ui.animating);
    EXPECT_EQ(w.handleCard.handles().volumeHandle, c.volume);
    EXPECT_EQ(w.handleCard.handles().diskHandle, kNoHandle);
    EXPECT_TRUE(w.JournalOf("open \\\\.\\PhysicalDrive").empty());
    EXPECT_TRUE(w.JournalOf("lock").empty());
    EXPECT_EQ(w.handleCard.IsVolumeHandleInvalid(), c.volume == kInvalidHandle);
  }
}

TEST(SetVolumeLock, UnopenableDiskStillSucceeds) {
  World w;
  w.device.diskOpens = false;
  EXPECT_EQ(w.handleCard.SetVolumeLock("[-e-]", true), 1);
  EXPECT_EQ(w.handleCard.handles().diskHandle, kInvalidHandle);
  SectorBuffer b = w.handleCard.AllocateSector();
  EXPECT_FALSE(w.handleCard.ReadMbrSector("[-e-]", b));
}

TEST(SetVolumeLock, SecondAcquisitionClosesTheFirstPairFirst) {
  World w;
  w.handleCard.SetVolumeLock("[-e-]", true);
  w.journal.clear();
  w.handleCard.SetVolumeLock("[-e-]", true);
  ASSERT_GE(w.journal.size(), 3u);
  EXPECT_EQ(w.journal[0], "close 100");
  EXPECT_EQ(w.journal[1], "close 200");
  EXPECT_EQ(w.journal[2], "open \\\\.\\E:");
  EXPECT_EQ(w.device.openHandles, 2);
}

TEST(SetVolumeLock, ReleaseClosesWhatIsOpenAndAlwaysSucceeds) {
  World w;
  EXPECT_EQ(w.handleCard.SetVolumeLock("[-e-]", false), 1);
  EXPECT_TRUE(w.JournalOf("close").empty());

  w.handleCard.SetVolumeLock("[-e-]", true);
  EXPECT_EQ(w.handleCard.SetVolumeLock("[-e-]", false), 1);
  EXPECT_EQ(w.device.openHandles, 0);
  EXPECT_EQ(w.handleCard.handles().volumeHandle, kNoHandle);
  EXPECT_EQ(w.handleCard.handles().diskHandle, kNoHandle);

  // After a failed open the invalid value is handed to the close call.
  w.device.volumeOpens = false;
  w.handleCard.SetVolumeLock("[-e-]", true);
  w.journal.clear();
  EXPECT_EQ(w.handleCard.SetVolumeLock("[-e-]", false), 1);
  EXPECT_EQ(w.journal, (Journal{"close -1"}));
  EXPECT_FALSE(w.handleCard.IsVolumeHandleInvalid());
}

TEST(SectorTransfers, FailWithoutAcquisition) {
  World w;
  SectorBuffer b = w.handleCard.AllocateSector();
  EXPECT_FALSE(w.handleCard.ReadMbrSector("[-e-]", b));
  EXPECT_FALSE(w.handleCard.WriteMbrSector("[-e-]", b));
  EXPECT_FALSE(w.handleCard.ReadVolumeBootSector("[-e-]", b));
  EXPECT_FALSE(w.handleCard.WriteVolumeBootSector("[-e-]", b));
  EXPECT_EQ(w.handleCard.LastError(), Failure::Own(FailureKind::InvalidHandle));
  EXPECT_TRUE(w.JournalOf("read").empty());
}

TEST(SectorTransfers, ShortTransfersFailWithACode) {
  for (const char* what : {"read-disk", "write-disk", "read-volume", "write-volume"}) {
    SCOPED_TRACE(what);
    World w;
    w.device.shortTransfer.insert(what);
    w.handleCard.SetVolumeLock("[-e-]", true);
    SectorBuffer b = w.handleCard.AllocateSector();
    const std::string op = what;
    bool ok = true;
    if (op == "read-disk") ok = w.handleCard.ReadMbrSector("[-e-]", b);
    if (op == "write-disk") ok = w.handleCard.WriteMbrSector("[-e-]", b);
    if (op == "read-volume") ok = w.handleCard.ReadVolumeBootSector("[-e-]", b);
    if (op == "write-volume") ok = w.handleCard.WriteVolumeBootSector("[-e-]", b);
    EXPECT_FALSE(ok);
    // Only the handle layer saw it go wrong: no system code, but a failure
    // of the right direction.
    EXPECT_EQ(w.handleCard.LastError(),
              Failure::Own(op.rfind("write", 0) == 0 ? FailureKind::Write : FailureKind::Read));
  }
}

TEST(SectorTransfers, FailedCallLeavesTheSystemCode) {
  World w;
  w.device.failing.insert("write-volume");
  w.device.failCode = 19;  // write-protected
  w.handleCard.SetVolumeLock("[-e-]", true);
  SectorBuffer b = w.handleCard.AllocateSector();
  EXPECT_FALSE(w.handleCard.WriteVolumeBootSector("[-e-]", b));
  EXPECT_EQ(w.handleCard.LastError(), Failure::Win32(FailureKind::Write, 19));
}

TEST(SectorTransfers, VolumeReadDoesNotRepositionButWritesDo) {
  World w;
  w.card.At(w.card.partitionStart + 1).fill(0x11);
  w.handleCard.SetVolumeLock("[-e-]", true);
  SectorBuffer b = w.handleCard.AllocateSector();
  ASSERT_TRUE(w.handleCard.ReadVolumeBootSector("[-e-]", b));
  EXPECT_EQ(b.data()[510], 0x55);
  ASSERT_TRUE(w.handleCard.ReadVolumeBootSector("[-e-]", b));
  EXPECT_EQ(b.data()[0], 0x11);  // the next sector: no repositioning

  w.journal.clear();
  b.data()[0] = 0x77;
  ASSERT_TRUE(w.handleCard.WriteVolumeBootSector("[-e-]", b));
  EXPECT_EQ(w.journal, (Journal{"seek 100", "write-volume"}));
  EXPECT_EQ(w.card.VolumeBoot()[0], 0x77);

  w.journal.clear();
  ASSERT_TRUE(w.handleCard.ReadMbrSector("[-e-]", b));
  ASSERT_TRUE(w.handleCard.WriteMbrSector("[-e-]", b));
  EXPECT_EQ(w.journal, (Journal{"seek 200", "read-disk", "seek 200", "write-disk"}));
}

TEST(SectorTransfers, ReadBackFlushesThenReadsTheWrittenSectorAgain) {
  struct Case {
    const char* handle;
    bool (HandleCard::*write)(const std::string&, const SectorBuffer&);
    bool (HandleCard::*readBack)(const std::string&, SectorBuffer&);
    DeviceHandle id;
  } cases[] = {
      {"disk", &HandleCard::WriteMbrSector, &HandleCard::ReadBackMbrSector, FakeDeviceApi::kDisk},
      {"volume", &HandleCard::WriteVolumeBootSector, &HandleCard::ReadBackVolumeBootSector, FakeDeviceApi::kVolume},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.handle);
    const std::string id = std::to_string(c.id);
    const std::string handle = c.handle;
    World w;
    w.handleCard.SetVolumeLock("[-e-]", true);
    SectorBuffer b = w.handleCard.AllocateSector();
    b.data()[0] = 0x5A;
    ASSERT_TRUE((w.handleCard.*c.write)("[-e-]", b));

    // From byte 0 again, although the write left the handle past it.
    w.journal.clear();
    SectorBuffer back = w.handleCard.AllocateSector();
    ASSERT_TRUE((w.handleCard.*c.readBack)("[-e-]", back));
    EXPECT_EQ(w.journal, (Journal{"flush-" + handle, "seek " + id, "read-" + handle}));
    EXPECT_EQ(back.data()[0], 0x5A);

    // A device that cannot commit what it holds has not taken the write.
    w.device.failing.insert("flush-" + handle);
    w.device.failCode = 1117;  // ERROR_IO_DEVICE
    w.journal.clear();
    EXPECT_FALSE((w.handleCard.*c.readBack)("[-e-]", back));
    EXPECT_EQ(w.journal, (Journal{"flush-" + handle}));
    EXPECT_EQ(w.handleCard.LastError(), Failure::Win32(FailureKind::Write, 1117));

    w.device.failing = {"read-" + handle};
    EXPECT_FALSE((w.handleCard.*c.readBack)("[-e-]", back));
    EXPECT_EQ(w.handleCard.LastError(), Failure::Win32(FailureKind::Read, 1117));

    w.handleCard.SetVolumeLock("[-e-]", false);
    EXPECT_FALSE((w.handleCard.*c.readBack)("[-e-]", back));
    EXPECT_EQ(w.handleCard.LastError(), Failure::Own(FailureKind::InvalidHandle));
  }
}

}  // namespace
}  // namespace tessarin::test
