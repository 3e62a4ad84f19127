#include "res/string_table.h"

#include <gtest/gtest.h>

#include <set>

namespace tessarin {
namespace {

TEST(StringTable, HoldsTheProgramsTextsExactly) {
  EXPECT_EQ(
      TableString(105),
      "All existing files will be deleted!\n\nAre you sure you want to restore the\nsystem to the SD CARD in drive");
  EXPECT_EQ(
      TableString(119),
      "Your SD CARD does not conform to the type recommended by\nQuenlor. Continuing may render the disc unusable "
      "\nand unrecoverable. Do you wish to continue anyway?");
  EXPECT_EQ(TableString(120), "The SD CARD definition file is not present. ");
  EXPECT_EQ(TableString(126), "About ");
  EXPECT_EQ(TableString(123), TableString(128));
  EXPECT_EQ(TableString(113), "");
}

TEST(StringTable, IdsRunFrom101WithoutGapsButOne) {
  std::set<unsigned> ids;
  unsigned last = 0;
  for (const StringEntry& e : StringTable()) {
    EXPECT_GT(e.id, last);
    last = e.id;
    ids.insert(e.id);
  }
  // The dialog's texts run to 129; the program's own later ones follow.
  for (unsigned id = 101; id <= last; ++id) EXPECT_EQ(ids.count(id), id == 113 ? 0u : 1u) << id;
  EXPECT_GE(last, 129u);
}

}  // namespace
}  // namespace tessarin
