// The unattended restore over the Windows ports, as far as Wine's devices
// go, and past that with the card's disk named by the test.
#include <gtest/gtest.h>

#include <cstring>

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

// Wine answers no disk extents, so here the answer names disk 7, whose
// device is the suite's disk image "R::"; everything else is the system's.
class NamedDiskDeviceApi : public Win32DeviceApi {
 public:
  std::vector<std::string> opened;
  unsigned slept = 0;

  DeviceHandle Open(const std::string& path) override {
    opened.push_back(path);
    return Win32DeviceApi::Open(path == "\\\\.\\PhysicalDrive7" ? "\\\\.\\R:" : path);
  }
  bool GetVolumeDiskExtents(DeviceHandle, DiskExtents& extents) override {
    extents = DiskExtents{1, 7};
    return true;
  }
  void Sleep(unsigned milliseconds) override { slept += milliseconds; }
};

std::string ReadSector(const std::string& device) {
  Win32DeviceApi api;
  const DeviceHandle h = api.Open(device);
  if (h == kInvalidHandle) return {};
  std::uint8_t* bytes = api.AllocateSector();
  std::uint32_t moved = 0;
  const bool ok = api.Read(h, bytes, kSectorSize, moved);
  std::string sector(reinterpret_cast<const char*>(bytes), ok ? moved : 0);
  api.FreeSector(bytes);
  api.Close(h);
  return sector;
}

void WriteSector(const std::string& device, const std::string& sector) {
  Win32DeviceApi api;
  const DeviceHandle h = api.Open(device);
  std::uint8_t* bytes = api.AllocateSector();
  std::memcpy(bytes, sector.data(), kSectorSize);
  std::uint32_t moved = 0;
  api.Write(h, bytes, kSectorSize, moved);
  api.FreeSector(bytes);
  api.Close(h);
}

std::string Resource(unsigned id) {
  const ImageLoad image = Win32Resources().LoadBootImage(id);
  return std::string(reinterpret_cast<const char*>(image.bytes.data()), image.bytes.size());
}

TEST(Win32Unattended, RunsEveryStepOnceTheDiskIsNamed) {
  const std::string volume = "\\\\.\\Q:";
  const std::string disk = "\\\\.\\R:";
  const std::string card = std::string(1, kTestDriveLetter) + ":\\";
  const std::string formatted = ReadSector(volume);
  const std::string mbrBefore = ReadSector(disk);
  ASSERT_EQ(formatted.size(), kSectorSize) << "the suite's fixture links q:: and r:: to images";
  ASSERT_EQ(mbrBefore.size(), kSectorSize);

  ScratchFolder work("unattended");
  ScopedCurrentDirectory cd(work.path());
  ASSERT_TRUE(CopyFileA((ProgramFolder() + "\\test_installer.exe").c_str(), (work / "dossys.exe").c_str(), FALSE));
  ScopedEnv installerFiles("TESSARIN_INSTALLER_FILES", "io.sys;msdos.sys;drvspace.bin");
  ScopedEnv installerLog("TESSARIN_INSTALLER_LOG", work / "installer.log");
  const std::string formatProgram = *Win32Format::FormatProgramPath();
  ASSERT_TRUE(CopyFileA((ProgramFolder() + "\\format_double.exe").c_str(), formatProgram.c_str(), FALSE));
  ScopedEnv formatMode("TESSARIN_FORMAT_MODE", "enters:1:0");
  ScopedEnv formatLog("TESSARIN_FORMAT_LOG", work / "format.log");

  const SystemKind savedKind = g_nSystemKind;
  g_nSystemKind = SystemKind::Dos;
  {
    BasicWin32World<NamedDiskDeviceApi> world(false, FormatTimings{30, 20, 30, 300});
    world.ctx.SetSystemKind(SystemKind::Dos);
    const bool restored = RunUnattendedRestore(world.ctx, "[-Q-]");
    const DWORD formatId = world.format.LastRun().processId;
    EXPECT_TRUE(restored);
    for (const auto& box : world.ui.boxes) ADD_FAILURE() << "box: " << box.text;
    EXPECT_TRUE(world.format.LastRun().ended);
    EXPECT_EQ(world.device.opened, (std::vector<std::string>{volume, "\\\\.\\PhysicalDrive7"}));
    EXPECT_EQ(world.device.slept, HandleCard::kLockDelayMs);
    EXPECT_EQ(world.card.handles().volumeHandle, kNoHandle) << "released";
    // The formatter's program file can go once its process has ended (the
    // wait's deadline only ends a hang).
    if (const HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, formatId)) {
      TerminateProcess(p, 0);
      EXPECT_EQ(WaitForSingleObject(p, 180000), WAIT_OBJECT_0);
      CloseHandle(p);
    }
  }
  g_nSystemKind = savedKind;
  DeleteFileA(formatProgram.c_str());

  // The master boot code over the disk's first sector, the partition table
  // kept and its first entry active.
  const std::string mbr = ReadSector(disk);
  ASSERT_EQ(mbr.size(), kSectorSize);
  EXPECT_EQ(mbr.substr(0, kMbrCodeSize), Resource(IDR_MBR_CODE));
  EXPECT_EQ(static_cast<unsigned char>(mbr[446]), 0x80);
  EXPECT_EQ(mbr.substr(447), mbrBefore.substr(447));

  // The template with the card's own BPB.
  const std::string boot = ReadSector(volume);
  const std::string bootTemplate = Resource(IDR_FAT32_BOOT);
  ASSERT_EQ(boot.size(), kSectorSize);
  EXPECT_EQ(boot.substr(0, 11), bootTemplate.substr(0, 11));
  EXPECT_EQ(boot.substr(11, 51), formatted.substr(11, 51));
  EXPECT_EQ(boot.substr(62), bootTemplate.substr(62));

  // The system files of the kind, marked.
  for (const char* name : {"io.sys", "msdos.sys", "drvspace.bin"}) {
    EXPECT_EQ(GetFileAttributesA((card + name).c_str()), 0x27u) << name;
    RemoveTree(card + name);
  }
  WriteSector(volume, formatted);
  WriteSector(disk, mbrBefore);
}

}  // namespace
}  // namespace tessarin::test
