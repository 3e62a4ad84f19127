#include "card/system_kinds.h"

#include <gtest/gtest.h>

#include <vector>

#include "res/string_table.h"

namespace tessarin::test {
namespace {

TEST(DetectSystemKind, FirstArchiveInProbingOrderWins) {
  const struct {
    const char* name;
    std::vector<std::string> entries;  // of the working directory, files and folders alike
    std::optional<SystemKind> expected;
  } cases[] = {
      {"both DOS archives", {"dossys.exe", "romdossys.exe"}, SystemKind::RomDos},
      {"a folder named dossys.exe", {"dossys.exe"}, SystemKind::Dos},
      {"upper case counts", {"WINCESYS.EXE"}, SystemKind::WinCE},
      {"mixed case counts", {"RomDosSys.Exe", "wincesys.exe"}, SystemKind::RomDos},
      {"all three", {"wincesys.exe", "dossys.exe", "romdossys.exe"}, SystemKind::RomDos},
      {"none", {"CFDef.ini", "wincesys.exe.bak"}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> probed;
    const auto exists = [&](const std::string& name) {
      probed.push_back(name);
      for (const std::string& e : c.entries) {
        if (SameEntryName(e, name)) return true;
      }
      return false;
    };
    EXPECT_EQ(DetectSystemKind(exists, TableString), c.expected);
    // Later names are not probed once one is found.
    const std::vector<std::string> order = {"romdossys.exe", "dossys.exe", "wincesys.exe"};
    EXPECT_EQ(probed, std::vector<std::string>(order.begin(), order.begin() + static_cast<long>(probed.size())));
  }
}

TEST(DetectSystemKind, ANameThatCannotBeLoadedNeverMatches) {
  const auto everything = [](const std::string&) { return true; };
  const auto noDosNames = [](unsigned id) { return id == 127 ? TableString(id) : std::string(); };
  EXPECT_EQ(DetectSystemKind(everything, noDosNames), SystemKind::WinCE);
  EXPECT_EQ(DetectSystemKind(everything, [](unsigned) { return std::string(); }), std::nullopt);
}

TEST(SystemKinds, NumbersOutsideTheKindsAreRefused) {
  EXPECT_EQ(SystemKindFromNumber(1), SystemKind::RomDos);
  EXPECT_EQ(SystemKindFromNumber(3), SystemKind::WinCE);
  EXPECT_EQ(SystemKindFromNumber(0), std::nullopt);
  EXPECT_EQ(SystemKindFromNumber(4), std::nullopt);
  // An unknown kind installs as DOS, and has no record of its own.
  EXPECT_EQ(SystemKindFacts(static_cast<SystemKind>(7)).kind, SystemKind::Dos);
  EXPECT_EQ(FindSystemKind(static_cast<SystemKind>(7)), nullptr);
}

}  // namespace
}  // namespace tessarin::test
