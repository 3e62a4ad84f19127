#include "boot/boot_sector.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace tessarin::test {
namespace {

const std::string kDefinitions = DefinitionsText(
    {{"SD-128", "128000000", "250000", "8", "32", "977"}, {"SD-1G", "1000000000", "1953125", "16", "63", "1937"}});

struct Card : World {
  explicit Card(SystemKind kind, const BpbShape& shape = {}) {
    SetKind(kind);
    WriteFat32BootSector(card, shape);
    profile.SetFile(kDefinitionsPath, kDefinitions);
    handleCard.SetVolumeLock("[-e-]", true);
    before = card.VolumeBoot();
    journal.clear();
  }
  Sector before;
};

std::uint16_t Get16(const Sector& s, std::size_t at) { return static_cast<std::uint16_t>(s[at] | (s[at + 1] << 8)); }

BpbShape Shape(std::uint32_t total32, std::uint16_t heads = 16, std::uint8_t drive = 0x80, std::uint16_t total16 = 0) {
  BpbShape b;
  b.total32 = total32;
  b.total16 = total16;
  b.heads = heads;
  b.driveNumber = drive;
  return b;
}

TEST(InstallBootSector, SizeWindowForWindowsCe) {
  const std::string refused = "Tessarin only supports disk sizes between 64MB and 4GB.";
  struct {
    SystemKind kind;
    BpbShape shape;
    bool passes;
  } cases[] = {
      {SystemKind::WinCE, Shape(117'187), false},     // 59,999,744 bytes
      {SystemKind::WinCE, Shape(117'188), true},      // 60,000,256 bytes
      {SystemKind::WinCE, Shape(8'203'125), true},    // exactly 4,200,000,000 bytes
      {SystemKind::WinCE, Shape(8'203'126), false},   // one sector more
      {SystemKind::WinCE, Shape(15'625'000), false},  // 8 GB
      {SystemKind::WinCE, Shape(0), false},           // no size at all
      {SystemKind::Dos, Shape(15'625'000), true},     // 8 GB, no repair needed
      {SystemKind::RomDos, Shape(15'625'000), true},
      {SystemKind::Dos, Shape(0), true},  // capacity 0 passes when no repair is needed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.kind)) + " " + std::to_string(c.shape.total32));
    Card w(c.kind, c.shape);
    EXPECT_EQ(InstallBootSector(w.handleCard, w.resources, w.ctx.CardDefinitions(), w.ctx.log, w.ctx.GetSystemKind(),
                                g_nSystemKind, "[-e-]"),
              c.passes ? 0 : -1);
    if (!c.passes) {
      EXPECT_EQ(w.BoxTexts(), std::vector<std::string>{refused});
      EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);
      EXPECT_EQ(w.card.VolumeBoot(), w.before);
    }
    EXPECT_EQ(w.device.liveBuffers, 0);
  }
}

TEST(InstallBootSector, RepairsTheGeometryFromTheDefinitionFile) {
  struct {
    const char* name;
    BpbShape shape;
    std::uint16_t heads, sectorsPerTrack;
  } cases[] = {
      {"255 heads, 120 MB card takes CF0", Shape(234'375, 255), 8, 32},
      {"drive number 0", Shape(234'375, 16, 0x00), 8, 32},
      {"900 MB card takes CF1", Shape(1'757'812, 255), 16, 63},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Card w(SystemKind::Dos, c.shape);
    ASSERT_EQ(InstallBootSector(w.handleCard, w.resources, w.ctx.CardDefinitions(), w.ctx.log, w.ctx.GetSystemKind(),
                                g_nSystemKind, "[-e-]"),
              0);
    const Sector& out = w.card.VolumeBoot();
    EXPECT_EQ(Get16(out, 26), c.heads);
    EXPECT_EQ(Get16(out, 24), c.sectorsPerTrack);
    EXPECT_EQ(out[64], w.resources.images[IDR_FAT32_BOOT][64]);  // the template's drive number
  }
}

// Heads a boot sector cannot carry never reach one: 65,552 heads are no
// geometry, even though their low 16 bits would read as 16.
TEST(InstallBootSector, ADefinitionWithoutAUsableGeometryRepairsNothing) {
  Card w(SystemKind::Dos, Shape(1'757'812, 255));
  w.profile.SetFile(kDefinitionsPath, DefinitionsText({{"SD-1G", "1000000000", "1953125", "65552", "63", "1937"}}));
  EXPECT_EQ(InstallBootSector(w.handleCard, w.resources, w.ctx.CardDefinitions(), w.ctx.log, w.ctx.GetSystemKind(),
                              g_nSystemKind, "[-e-]"),
            -1);
  EXPECT_EQ(w.BoxTexts(), std::vector<std::string>{"Tessarin only supports disk sizes between 64MB and 4GB."});
  EXPECT_EQ(w.card.VolumeBoot(), w.before);
}

TEST(InstallBootSector, SixteenHeadsOnDrive0x80NeverReadsTheFile) {
  Card w(SystemKind::Dos, Shape(1'000'000, 16, 0x80));
  w.profile.texts.clear();
  w.files.Forget(kDefinitionsPath);
  EXPECT_EQ(InstallBootSector(w.handleCard, w.resources, w.ctx.CardDefinitions(), w.ctx.log, w.ctx.GetSystemKind(),
                              g_nSystemKind, "[-e-]"),
            0);
  EXPECT_EQ(Get16(w.card.VolumeBoot(), 26), 16);
}

TEST(InstallBootSector, RepairFailures) {
  struct Case {
    const char* name;
    SystemKind kind;
    BpbShape shape;
    bool removeFile;
    const char* box;
  } cases[] = {
      {"capacity 0", SystemKind::Dos, Shape(0, 255), false,
       "Your SD CARD does not conform to the type recommended by\nQuenlor. Continuing may render the disc "
       "unusable \nand unrecoverable. Do you wish to continue anyway?"},
      {"both counts set", SystemKind::RomDos, Shape(1000, 255, 0x80, 1000), false,
       "Your SD CARD does not conform to the type recommended by\nQuenlor. Continuing may render the disc "
       "unusable \nand unrecoverable. Do you wish to continue anyway?"},
      {"no definition file", SystemKind::WinCE, Shape(1'000'000, 255), true,
       "The SD CARD definition file is not present. "},
      {"no definition fits an 8 GB card", SystemKind::Dos, Shape(15'625'000, 255), false,
       "Tessarin only supports disk sizes between 64MB and 4GB."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Card w(c.kind, c.shape);
    if (c.removeFile) w.files.Forget(kDefinitionsPath);
    EXPECT_EQ(InstallBootSector(w.handleCard, w.resources, w.ctx.CardDefinitions(), w.ctx.log, w.ctx.GetSystemKind(),
                                g_nSystemKind, "[-e-]"),
              -1);
    EXPECT_EQ(w.BoxTexts(), std::vector<std::string>{c.box});
    EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);  // flags 0 shown with the exclamation icon, OK only
    EXPECT_EQ(w.card.VolumeBoot(), w.before);
    EXPECT_EQ(w.device.liveBuffers, 0);
  }
}

TEST(InstallBootSector, TransferAndResourceFailures) {
  struct Case {
    const char* name;
    std::function<void(Card&)> setup;
    std::string box;
    bool stopsAnimation;
  } cases[] = {
      {"first buffer", [](Card& w) { w.device.allocationsBeforeFailure = 0; }, "Memory allocation error.", false},
      {"second buffer", [](Card& w) { w.device.allocationsBeforeFailure = 1; }, "Memory allocation error.", false},
      {"volume not opened",
       [](Card& w) {
         w.device.volumeOpens = false;
         w.handleCard.SetVolumeLock("[-e-]", true);
         w.ui.boxes.clear();
         w.ui.StartProgressAnimation();
       },
       "Cannot open or read destination drive.", false},
      {"read fails", [](Card& w) { w.device.failing.insert("read-volume"); }, "Cannot open or read destination drive.",
       false},
      {"template missing", [](Card& w) { w.resources.images.erase(IDR_FAT32_BOOT); },
       "Error 1813\n\nThe system has no description of this error.", true},
      {"loader missing", [](Card& w) { w.resources.images.erase(IDR_BLDR_LOADER); },
       "Error 1813\n\nThe system has no description of this error.", true},
      {"write fails", [](Card& w) { w.device.failing.insert("write-volume"); }, "Error 5\n\nAccess is denied.\r\n",
       true},
      {"write moves half a sector", [](Card& w) { w.device.shortTransfer.insert("write-volume"); },
       "Error 29\n\nThe system has no description of this error.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Card w(SystemKind::WinCE);
    w.ui.StartProgressAnimation();
    c.setup(w);
    const bool partialWrite = std::string(c.name) == "write moves half a sector";
    EXPECT_EQ(InstallBootSector(w.handleCard, w.resources, w.ctx.CardDefinitions(), w.ctx.log, w.ctx.GetSystemKind(),
                                g_nSystemKind, "[-e-]"),
              -1);
    EXPECT_EQ(w.BoxTexts(), std::vector<std::string>{c.box});
    EXPECT_EQ(w.ui.animating, !c.stopsAnimation);
    if (!partialWrite) {
      EXPECT_EQ(w.card.VolumeBoot(), w.before);
    }
    EXPECT_EQ(w.device.liveBuffers, 0);
  }
}

TEST(InstallBootSector, SectorThatReadsBackDifferentFailsAsAFailedWrite) {
  using Garble = std::function<void(const std::string&, const Sector&, Sector&)>;
  const std::string readBackError = "Error 29\n\nThe system has no description of this error.";
  struct Case {
    const char* name;
    Garble garble;
    const char* failing;  // a call that fails instead
    std::string box;
  } cases[] = {
      {"write dropped", [](auto&, const Sector& before, Sector& held) { held = before; }, nullptr, readBackError},
      {"loader code altered", [](auto&, auto&, Sector& held) { held[300] ^= 0x80; }, nullptr, readBackError},
      {"template's jump altered", [](auto&, auto&, Sector& held) { held[1] ^= 0x01; }, nullptr, readBackError},
      {"kept BPB altered", [](auto&, auto&, Sector& held) { held[13] = 64; }, nullptr, readBackError},
      {"repaired geometry lost", [](auto&, const Sector& before, Sector& held) { held[26] = before[26]; }, nullptr,
       readBackError},
      {"flush refused", nullptr, "flush-volume", "Error 5\n\nAccess is denied.\r\n"},
      {"read after the write fails", nullptr, "read-volume", "Error 5\n\nAccess is denied.\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Card w(SystemKind::WinCE, Shape(234'375, 255));  // 120 MB, geometry repaired to 8 heads
    w.ui.StartProgressAnimation();
    w.device.garble = c.garble;
    if (c.failing != nullptr) {
      w.faults.op = c.failing;
      w.faults.nth = std::string(c.failing) == "read-volume" ? 2 : 1;
    }
    EXPECT_EQ(InstallBootSector(w.handleCard, w.resources, w.ctx.CardDefinitions(), w.ctx.log, w.ctx.GetSystemKind(),
                                g_nSystemKind, "[-e-]"),
              -1);
    EXPECT_EQ(w.BoxTexts(), std::vector<std::string>{c.box});
    EXPECT_FALSE(w.ui.animating);
    EXPECT_EQ(w.JournalOf("write-volume").size(), 1u);
    EXPECT_EQ(w.device.liveBuffers, 0);
  }
}

TEST(InstallBootSector, EveryCardCarriesTheTemplatesSerialAndLabel) {
  Card w(SystemKind::Dos);
  ASSERT_EQ(InstallBootSector(w.handleCard, w.resources, w.ctx.CardDefinitions(), w.ctx.log, w.ctx.GetSystemKind(),
                              g_nSystemKind, "[-e-]"),
            0);
  const auto& tmpl = w.resources.images[IDR_FAT32_BOOT];
  EXPECT_TRUE(std::equal(tmpl.begin() + 62, tmpl.begin() + 90, w.card.VolumeBoot().begin() + 62));
  EXPECT_NE(w.card.VolumeBoot()[67], w.before[67]);
}

}  // namespace
}  // namespace tessarin::test
