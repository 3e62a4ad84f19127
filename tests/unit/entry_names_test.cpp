// Names from a card or an archive before they touch a local path.
#include "card/entry_names.h"

#include <gtest/gtest.h>

namespace tessarin::test {
namespace {

TEST(EntryNames, OnlyPlainNamesBecomePathComponents) {
  const struct {
    std::string name;
    bool safe;
  } cases[] = {
      {"main.prj", true},
      {"Alarm log 2026-12-10.csv", true},
      {"\xC3\xA4nderungen.txt", true},  // UTF-8
      {"..a", true},
      {"a..", true},
      {"", false},
      {".", false},
      {"..", false},
      {"../../../../tmp/x", false},
      {"a/b", false},
      {"a\\b", false},
      {std::string("a\0b", 3), false},
      {"line\nbreak", false},
      {"tab\there", false},
      {"del\x7F", false},
  };
  for (const auto& c : cases) EXPECT_EQ(WhyNameUnsafe(c.name).empty(), c.safe) << EscapeName(c.name);
}

TEST(EntryNames, RelativePathsAreCheckedComponentByComponent) {
  EXPECT_TRUE(WhyRelativePathUnsafe("screens/start.bmp").empty());
  for (const char* bad : {"screens/../../etc", "/etc/passwd", "a//b", "a/", "./a", "a/./b", "a\\..\\b"})
    EXPECT_FALSE(WhyRelativePathUnsafe(bad).empty()) << bad;
}

TEST(EntryNames, EscapedForMessages) {
  EXPECT_EQ(EscapeName("plain.txt"), "plain.txt");
  EXPECT_EQ(EscapeName("\xC3\xA4.txt"), "\xC3\xA4.txt");
  EXPECT_EQ(EscapeName(std::string("a\0\n\x1B[2J", 7)), "a\\x00\\x0A\\x1B[2J");
  EXPECT_EQ(EscapeName("a\\b"), "a\\\\b");
  EXPECT_EQ(EscapeName("\xC3"), "\\xC3");           // cut short
  EXPECT_EQ(EscapeName("\xFF\xFE"), "\\xFF\\xFE");  // never UTF-8
}

}  // namespace
}  // namespace tessarin::test
