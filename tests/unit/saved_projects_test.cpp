// Which saved project folder belongs to which card: the note written beside
// each saved copy, read back, and matched against the card a later restore
// finds.
#include "restore/saved_projects.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tessarin::test {
namespace {

struct Sectors {
  std::uint8_t mbr[512] = {};
  std::uint8_t vbr[512] = {};
};

Sectors Card(std::uint32_t signature, std::uint32_t start, std::uint32_t sectors, bool fat32, std::uint32_t serial,
             const char* label) {
  Sectors s;
  auto put32 = [](std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put32(s.mbr + 440, signature);
  put32(s.mbr + 446 + 8, start);
  put32(s.mbr + 446 + 12, sectors);
  s.mbr[510] = 0x55, s.mbr[511] = 0xAA;
  if (!fat32) s.vbr[22] = 0x20;  // a 16-bit FAT size: FAT12 or FAT16
  const std::size_t at = fat32 ? 67 : 39;
  put32(s.vbr + at, serial);
  std::memset(s.vbr + at + 4, ' ', 11);
  std::memcpy(s.vbr + at + 4, label, std::strlen(label));
  s.vbr[510] = 0x55, s.vbr[511] = 0xAA;
  return s;
}

TEST(SavedProjects, TheCardIsKnownByItsDiskSignatureAndPartition) {
  const Sectors fat32 = Card(0x1A2B3C4D, 2048, 194560, true, 0x12345678, "PANEL");
  const CardIdentity a = IdentifyCard(fat32.mbr, fat32.vbr, "E:");
  EXPECT_EQ(a.diskSignature, 0x1A2B3C4Du);
  EXPECT_EQ(a.partitionStart, 2048u);
  EXPECT_EQ(a.partitionSectors, 194560u);
  EXPECT_EQ(a.volumeSerial, 0x12345678u);
  EXPECT_EQ(a.volumeLabel, "PANEL");
  const Sectors fat16 = Card(0x1A2B3C4D, 63, 1000000, false, 0xCAFEF00D, "NO NAME");
  EXPECT_EQ(IdentifyCard(fat16.mbr, fat16.vbr, "E:").volumeSerial, 0xCAFEF00Du);
  EXPECT_EQ(IdentifyCard(fat16.mbr, fat16.vbr, "E:").volumeLabel, "NO NAME");

  struct Case {
    const char* name;
    Sectors now;
    const char* location;
    bool same;
  };
  const Case cases[] = {
      {"formatted since: a new serial and label", Card(0x1A2B3C4D, 2048, 194560, true, 0x9999, "QV"), "E:", true},
      {"in another reader", Card(0x1A2B3C4D, 2048, 194560, true, 0x9999, "QV"), "F:", true},
      {"another disk signature", Card(0x11111111, 2048, 194560, true, 0x12345678, "PANEL"), "E:", false},
      {"partitioned anew", Card(0x1A2B3C4D, 2048, 100000, true, 0x12345678, "PANEL"), "E:", false},
  };
  for (const Case& c : cases) EXPECT_EQ(SameCard(a, IdentifyCard(c.now.mbr, c.now.vbr, c.location)), c.same) << c.name;

  // Without a disk signature only the place tells cards apart.
  const Sectors unsigned1 = Card(0, 2048, 194560, true, 1, "A");
  const CardIdentity b = IdentifyCard(unsigned1.mbr, unsigned1.vbr, "/dev/sdb");
  EXPECT_TRUE(SameCard(b, IdentifyCard(unsigned1.mbr, unsigned1.vbr, "/dev/sdb")));
  EXPECT_FALSE(SameCard(b, IdentifyCard(unsigned1.mbr, unsigned1.vbr, "/dev/sdc")));
}

TEST(SavedProjects, TheNoteReadsBackAsWritten) {
  CardIdentity card;
  card.diskSignature = 0x00ABCDEF;
  card.partitionStart = 63;
  card.partitionSectors = 4000000;
  card.volumeSerial = 0xDEADBEEF;
  card.volumeLabel = "QV";
  card.location = "/srv/cards/line 3/card.img";
  const std::string text = FormatSavedCardNote(card, "2026-12-10 14:37:56");
  EXPECT_NE(text.find("VolumeSerial=DEAD-BEEF\r\n"), std::string::npos) << text;
  const auto note = ParseSavedCardNote(text);
  ASSERT_TRUE(note);
  EXPECT_EQ(note->card, card);
  EXPECT_EQ(note->savedAt, "2026-12-10 14:37:56");

  for (const char* notANote : {"", "Project notes of the operator\r\nDiskSignature=1\r\n",
                               "Tessarin saved this Project folder from a card before restoring the card.\r\n"
                               "PartitionStart=63\r\nPartitionSectors=9\r\n",
                               "Tessarin saved this Project folder from a card before restoring the card.\r\n"
                               "DiskSignature=XYZ\r\nPartitionStart=63\r\nPartitionSectors=9\r\n"})
    EXPECT_FALSE(ParseSavedCardNote(notANote)) << notANote;
}

TEST(SavedProjects, TheCopyWhoseMarkTheCardCarriesIsItsProjectClonesOnlyMayBe) {
  auto copy = [](const char* folder, std::uint32_t signature, std::uint32_t mark, const char* savedAt) {
    WaitingCopy c;
    c.folder = folder;
    c.note.card.diskSignature = signature;
    c.note.card.partitionStart = 2048;
    c.note.card.partitionSectors = 194560;
    c.note.card.location = "E:";
    c.note.mark = mark;
    c.note.savedAt = savedAt;
    return c;
  };
  CardIdentity card;
  card.diskSignature = 7;
  card.partitionStart = 2048;
  card.partitionSectors = 194560;
  card.location = "E:";

  const WaitingChoice choice = ChooseWaitingCopies({copy("QV1", 3, 7, "2026-12-09 10:00:00"),   // marked, older
                                                    copy("QV2", 8, 9, "2026-12-10 09:00:00"),   // another card's
                                                    copy("QV3", 3, 7, "2026-12-10 08:00:00"),   // marked, newest
                                                    copy("QV4", 7, 11, "2026-12-10 11:00:00"),  // saved from a clone
                                                    copy("QV5", 7, 0, "2026-12-10 11:00:00")},  // an older note
                                                   card);
  ASSERT_TRUE(choice.thisCard);
  EXPECT_EQ(choice.thisCard->folder, "QV3");
  std::vector<std::string> maybe, others;
  for (const auto& c : choice.maybeThisCard) maybe.push_back(c.folder);
  for (const auto& c : choice.others) others.push_back(c.folder);
  EXPECT_EQ(maybe, (std::vector<std::string>{"QV1", "QV4", "QV5"}));
  EXPECT_EQ(others, std::vector<std::string>{"QV2"});

  // A mark on a card partitioned anew binds nothing.
  CardIdentity repartitioned = card;
  repartitioned.partitionSectors = 100000;
  EXPECT_FALSE(ChooseWaitingCopies({copy("QV3", 3, 7, "2026-12-10 08:00:00")}, repartitioned).thisCard);
}

TEST(SavedProjects, ANoteOfThisVersionIsCompleteOnlyWithItsLastLine) {
  SavedCardNote note;
  note.card.diskSignature = 0x11223344;
  note.card.partitionStart = 2048;
  note.card.partitionSectors = 194560;
  note.mark = 0xA1B2C3D4;
  note.savedAt = "2026-12-10 14:37:56";
  note.contents = SavedContents{21, 123456789012ull, 0xFEDCBA9876543210ull};
  const std::string text = FormatSavedCardNote(note);
  const auto back = ParseSavedCardNote(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->mark, note.mark);
  EXPECT_EQ(back->contents, note.contents);
  // Cut short, as a power cut may leave a file that was not flushed.
  for (std::size_t cut = 1; cut + 1 < text.size(); cut += 7) {
    const auto partial = ParseSavedCardNote(text.substr(0, cut));
    EXPECT_TRUE(!partial || partial->mark == 0) << cut;
  }
}

}  // namespace
}  // namespace tessarin::test
