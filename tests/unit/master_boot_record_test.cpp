#include "boot/master_boot_record.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace tessarin::test {
namespace {

struct Acquired : World {
  Acquired() {
    handleCard.SetVolumeLock("[-e-]", true);
    ui.StartProgressAnimation();
    before = card.Mbr();
    journal.clear();
  }
  Sector before;
};

TEST(InstallMasterBootRecord, LaysTheCodeOverSectorZeroAndMarksEntryOneActive) {
  Acquired w;
  ASSERT_EQ(InstallMasterBootRecord(w.handleCard, w.resources, w.ctx.log, "[-e-]"), 0);
  const Sector& after = w.card.Mbr();
  const auto& code = w.resources.images[IDR_MBR_CODE];
  EXPECT_TRUE(std::equal(code.begin(), code.end(), after.begin()));
  EXPECT_EQ(after[446], 0x80);
  for (std::size_t i = 440; i < 512; ++i) {
    if (i != 446) {
      EXPECT_EQ(after[i], w.before[i]) << i;
    }
  }
  EXPECT_TRUE(w.ui.boxes.empty());
  EXPECT_TRUE(w.ui.animating);  // the steps after it still run
  EXPECT_EQ(w.device.liveBuffers, 0);
}

TEST(InstallMasterBootRecord, KeepsTheOtherEntriesBootIndicators) {
  Acquired w;
  w.card.Mbr()[446 + 16] = 0x80;  // entry 2 was the active one
  ASSERT_EQ(InstallMasterBootRecord(w.handleCard, w.resources, w.ctx.log, "[-e-]"), 0);
  EXPECT_EQ(w.card.Mbr()[446], 0x80);
  EXPECT_EQ(w.card.Mbr()[446 + 16], 0x80);
}

TEST(InstallMasterBootRecord, FailuresLeaveSectorZeroAndTellTheOperator) {
  struct Case {
    const char* name;
    std::function<void(Acquired&)> setup;
    std::string box;
    Journal tail;  // the last journal entries: box and animation order
  } cases[] = {
      {"image missing",
       [](Acquired& w) { w.resources.images.erase(IDR_MBR_CODE); },
       "Error 1813\n\nThe system has no description of this error.",
       {"animation stop", "box Error 1813"}},
      {"image of the wrong size",
       [](Acquired& w) { w.resources.images[IDR_MBR_CODE].resize(400); },
       "Error 13\n\nThe system has no description of this error.",
       {"animation stop", "box Error 13"}},
      {"no memory",
       [](Acquired& w) { w.device.allocationsBeforeFailure = 0; },
       "Memory allocation error.",
       {"box Memory allocation error.", "animation stop"}},
      {"volume not opened",
       [](Acquired& w) {
         w.device.volumeOpens = false;
         w.handleCard.SetVolumeLock("[-e-]", true);
         w.ui.boxes.clear();
         w.ui.StartProgressAnimation();
       },
       "Cannot open or read destination drive.",
       {"box Cannot open or read destination drive.", "animation stop"}},
      {"read fails",
       [](Acquired& w) { w.device.failing.insert("read-disk"); },
       "Cannot open or read destination drive.",
       {"box Cannot open or read destination drive.", "animation stop"}},
      {"write fails",
       [](Acquired& w) { w.device.failing.insert("write-disk"); },
       "Cannot open or read destination drive.",
       {"box Cannot open or read destination drive.", "animation stop"}},
      {"short write",
       [](Acquired& w) { w.device.shortTransfer.insert("write-disk"); },
       "Cannot open or read destination drive.",
       {"box Cannot open or read destination drive.", "animation stop"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Acquired w;
    c.setup(w);
    const bool partialWrite = std::string(c.name) == "short write";
    EXPECT_EQ(InstallMasterBootRecord(w.handleCard, w.resources, w.ctx.log, "[-e-]"), -1);
    ASSERT_EQ(w.ui.boxes.size(), 1u);
    EXPECT_EQ(w.ui.boxes[0].text, c.box);
    EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);
    EXPECT_FALSE(w.ui.animating);
    ASSERT_GE(w.journal.size(), c.tail.size());
    EXPECT_EQ(Journal(w.journal.end() - static_cast<long>(c.tail.size()), w.journal.end()), c.tail);
    if (!partialWrite) {
      EXPECT_EQ(w.card.Mbr(), w.before);
    }
    EXPECT_EQ(w.device.liveBuffers, 0);
    // The handles stay for the caller to release.
    EXPECT_TRUE(w.JournalOf("close").empty() || std::string(c.name) == "volume not opened");
  }
}

TEST(InstallMasterBootRecord, SectorThatReadsBackDifferentFailsAsAFailedWrite) {
  using Garble = std::function<void(const std::string&, const Sector&, Sector&)>;
  struct Case {
    const char* name;
    Garble garble;
    const char* failing;  // a call that fails instead
  } cases[] = {
      {"write dropped", [](auto&, const Sector& before, Sector& held) { held = before; }, nullptr},
      {"one byte of the code altered", [](auto&, auto&, Sector& held) { held[100] ^= 0x01; }, nullptr},
      {"partition table altered", [](auto&, auto&, Sector& held) { held[446 + 8] ^= 0x40; }, nullptr},
      {"active flag cleared", [](auto&, auto&, Sector& held) { held[446] = 0x00; }, nullptr},
      {"disk signature altered", [](auto&, auto&, Sector& held) { held[441] ^= 0xFF; }, nullptr},
      {"boot signature lost", [](auto&, auto&, Sector& held) { held[511] = 0x00; }, nullptr},
      {"flush refused", nullptr, "flush-disk"},
      {"read after the write fails", nullptr, "read-disk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Acquired w;
    w.device.garble = c.garble;
    if (c.failing != nullptr) {
      // The first read of sector 0 goes through; the call after the write
      // fails.
      w.faults.op = c.failing;
      w.faults.nth = std::string(c.failing) == "read-disk" ? 2 : 1;
    }
    EXPECT_EQ(InstallMasterBootRecord(w.handleCard, w.resources, w.ctx.log, "[-e-]"), -1);
    EXPECT_EQ(w.BoxTexts(), std::vector<std::string>{"Cannot open or read destination drive."});
    EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);
    EXPECT_FALSE(w.ui.animating);
    EXPECT_EQ(w.JournalOf("write-disk").size(), 1u);
    EXPECT_EQ(w.device.liveBuffers, 0);
    EXPECT_TRUE(w.JournalOf("close").empty());
  }
}

TEST(InstallMasterBootRecord, MissingImageFailsBeforeAnyBufferIsTaken) {
  Acquired w;
  w.resources.images.erase(IDR_MBR_CODE);
  w.device.allocationsBeforeFailure = 0;  // an allocation would show 106
  EXPECT_EQ(InstallMasterBootRecord(w.handleCard, w.resources, w.ctx.log, "[-e-]"), -1);
  ASSERT_EQ(w.ui.boxes.size(), 1u);
  EXPECT_EQ(w.ui.boxes[0].text.rfind("Error 1813", 0), 0u);
}

}  // namespace
}  // namespace tessarin::test
