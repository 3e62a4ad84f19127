#include "boot/card_definitions.h"

#include <gtest/gtest.h>

#include "boot/profile_text.h"
#include "fakes.h"

namespace tessarin::test {
namespace {

std::string Section(int index, const std::string& model, const std::string& capacity, bool withCylinders = true) {
  std::string s = "[CF" + std::to_string(index) + "]\r\nModelNumber=" + model + "\r\nCapacity=" + capacity +
                  "\r\nSectorsPerCard=1000\r\nNoHeads=" + std::to_string(4 + index) + "\r\nNoSectorsPerTrack=32\r\n";
  if (withCylinders) s += "NoCylinders=100\r\n";
  return s;
}

std::vector<std::string> Models(const CList<CF_DEFINITION>& list) {
  std::vector<std::string> out;
  for (const auto& d : list) out.push_back(d.strModelNumber);
  return out;
}

TEST(LoadCardDefinitions, ReadsSectionsUntilOneIsIncomplete) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> models;
  } cases[] = {
      {"gap after CF1", Section(0, "a", "100") + Section(1, "b", "200") + Section(3, "d", "400"), {"a", "b"}},
      {"missing NoCylinders", Section(0, "a", "100") + Section(1, "b", "200", false) + Section(2, "c", "3"), {"a"}},
      {"model ERROR", Section(0, "a", "100") + Section(1, "ERROR", "200"), {"a"}},
      {"model error in lower case is a model", Section(0, "error", "100"), {"error"}},
      {"empty model", Section(0, "", "100"), {""}},
      {"capacity -1", Section(0, "a", "-1"), {}},
      {"capacity 4294967295", Section(0, "a", "4294967295"), {}},
      {"no sections", "; nothing here\r\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.profile.SetFile("C:\\Tessarin\\CFDef.ini", c.text);
    CList<CF_DEFINITION> list;
    EXPECT_EQ(LoadCardDefinitions(w.ctx.CardDefinitions(), list), -1);
    EXPECT_EQ(Models(list), c.models);
  }
}

TEST(LoadCardDefinitions, StoresEveryFieldAndCapacityAsUnsigned) {
  World w;
  w.profile.SetFile("C:\\Tessarin\\CFDef.ini",
                    "[CF0]\nModelNumber=Big\nCapacity=4294967294\nSectorsPerCard=8388607\nNoHeads=255\n"
                    "NoSectorsPerTrack=63\nNoCylinders=522\n");
  CList<CF_DEFINITION> list;
  ASSERT_EQ(LoadCardDefinitions(w.ctx.CardDefinitions(), list), -1);
  ASSERT_EQ(list.size(), 1u);
  const CF_DEFINITION& d = list.front();
  EXPECT_EQ(d.strModelNumber, "Big");
  EXPECT_DOUBLE_EQ(d.dCapacity, 4294967294.0);
  EXPECT_EQ(d.nSectorsPerCard, 8388607);
  EXPECT_EQ(d.nHeads, 255);
  EXPECT_EQ(d.nSectorsPerTrack, 63);
  EXPECT_EQ(d.nCylinders, 522);
}

TEST(LoadCardDefinitions, LooksInTheWorkingDirectoryOnly) {
  World w;
  w.profile.SetFile("C:\\Program\\CFDef.ini", Section(0, "a", "100"));
  CList<CF_DEFINITION> list;
  EXPECT_EQ(LoadCardDefinitions(w.ctx.CardDefinitions(), list), 120);
  EXPECT_TRUE(list.empty());

  // At a drive's root the separator is doubled, which the system reads as one.
  w.files.currentDirectory = "E:\\";
  w.profile.SetFile("E:\\CFDef.ini", Section(0, "root", "100"));
  EXPECT_EQ(LoadCardDefinitions(w.ctx.CardDefinitions(), list), -1);
  EXPECT_EQ(Models(list), std::vector<std::string>{"root"});
}

TEST(LoadCardDefinitions, TheFallbackFileOnlyWhenTheWorkingDirectoryHasNone) {
  World w;
  w.ctx.m_strFallbackDefinitions = "/usr/share/tessarin/CFDef.ini";
  CList<CF_DEFINITION> list;
  // Neither file there: the message, as without a fallback.
  EXPECT_EQ(CardDefinitionsFile(w.ctx.CardDefinitions()), "");
  EXPECT_EQ(LoadCardDefinitions(w.ctx.CardDefinitions(), list), 120);

  w.profile.SetFile("/usr/share/tessarin/CFDef.ini", Section(0, "installed", "100"));
  EXPECT_EQ(CardDefinitionsFile(w.ctx.CardDefinitions()), "/usr/share/tessarin/CFDef.ini");
  EXPECT_EQ(LoadCardDefinitions(w.ctx.CardDefinitions(), list), -1);
  EXPECT_EQ(Models(list), std::vector<std::string>{"installed"});

  // The working directory's file wins over the installed one.
  w.profile.SetFile(w.files.currentDirectory + "\\CFDef.ini", Section(0, "local", "100"));
  list.clear();
  EXPECT_EQ(CardDefinitionsFile(w.ctx.CardDefinitions()), w.files.currentDirectory + "\\CFDef.ini");
  EXPECT_EQ(LoadCardDefinitions(w.ctx.CardDefinitions(), list), -1);
  EXPECT_EQ(Models(list), std::vector<std::string>{"local"});
}

TEST(MatchCardDefinition, FirstDefinitionWithinTenPerCentWins) {
  std::vector<CF_DEFINITION> defs(2, CF_DEFINITION{"", 0, 0, 16, 32, 0});
  defs[0].dCapacity = 100'000'000;
  defs[1].dCapacity = 1'000'000'000;
  EXPECT_EQ(MatchCardDefinition(defs.data(), 110'000'000, 0, 2), 0);
  EXPECT_EQ(MatchCardDefinition(defs.data(), 110'000'001, 0, 2), 1);
  EXPECT_EQ(MatchCardDefinition(defs.data(), 1'100'000'001, 0, 2), -1);
  EXPECT_EQ(MatchCardDefinition(defs.data(), 1, 1, 2), 1);
  EXPECT_EQ(MatchCardDefinition(defs.data(), 1, 2, 2), -1);
  EXPECT_EQ(MatchCardDefinition(defs.data(), 1, 0, 0), -1);
}

TEST(FindCardDefinition, OrderOfTheFileDecides) {
  CList<CF_DEFINITION> list;
  list.push_back({"big", 1'000'000'000, 0, 255, 63, 0});
  list.push_back({"close", 128'000'000, 0, 8, 32, 0});
  auto found = FindCardDefinition(list, 120'000'000);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->strModelNumber, "big");
  EXPECT_FALSE(FindCardDefinition(list, 2e9));
  EXPECT_FALSE(FindCardDefinition({}, 1));
}

// A definition whose geometry no boot sector can carry, or whose capacity
// is no size, matches no card; the next usable one is taken.
TEST(MatchCardDefinition, DefinitionsABootSectorCannotCarryMatchNoCard) {
  const struct {
    const char* name;
    CF_DEFINITION bad;
  } cases[] = {
      {"no heads", {"x", 1e9, 0, 0, 32, 0}},
      {"256 heads", {"x", 1e9, 0, 256, 32, 0}},
      {"negative heads", {"x", 1e9, 0, -16, 32, 0}},
      {"no sectors per track", {"x", 1e9, 0, 16, 0, 0}},
      {"64 sectors per track", {"x", 1e9, 0, 16, 64, 0}},
      {"65599 heads, 16 bits of them 63", {"x", 1e9, 0, 65599, 32, 0}},
      {"no capacity", {"x", 0, 0, 16, 32, 0}},
  };
  for (const auto& c : cases) {
    const std::vector<CF_DEFINITION> defs = {c.bad, {"good", 2e9, 0, 16, 63, 0}};
    EXPECT_FALSE(IsUsableDefinition(c.bad)) << c.name;
    EXPECT_EQ(MatchCardDefinition(defs.data(), 5e8, 0, 2), 1) << c.name;
  }
  EXPECT_TRUE(IsUsableDefinition({"edges", 1, 0, 255, 63, 0}));
  EXPECT_TRUE(IsUsableDefinition({"edges", 1, 0, 1, 1, 0}));
}

TEST(LoadCardDefinitions, ACapacityBeyond32BitsMatchesNoCard) {
  World w;
  // 8,000,000,000 wraps around to 3,705,032,704: it would take a 4 GB card.
  w.profile.SetFile("C:\\Tessarin\\CFDef.ini",
                    "[CF0]\nModelNumber=SD-8G\nCapacity=8000000000\nSectorsPerCard=1\nNoHeads=255\n"
                    "NoSectorsPerTrack=63\nNoCylinders=1\n"
                    "[CF1]\nModelNumber=SD-4G\nCapacity=4000000000\nSectorsPerCard=1\nNoHeads=128\n"
                    "NoSectorsPerTrack=63\nNoCylinders=1\n");
  CList<CF_DEFINITION> list;
  ASSERT_EQ(LoadCardDefinitions(w.ctx.CardDefinitions(), list), -1);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list.front().dCapacity, 0);
  const auto found = FindCardDefinition(list, 3.9e9);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->strModelNumber, "SD-4G");

  for (const char* text : {"4294967295", "-1", "0xFFFFFFFF", "  123abc"})
    EXPECT_TRUE(ProfileIntFits32Bits(text)) << text;
  for (const char* text : {"4294967296", "8000000000", "0x100000000", "-4294967296"})
    EXPECT_FALSE(ProfileIntFits32Bits(text)) << text;
}

}  // namespace
}  // namespace tessarin::test
