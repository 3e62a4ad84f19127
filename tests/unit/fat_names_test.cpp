// Names on FAT: what a long name may hold, the text conversions, and the
// short names given to long ones as Windows gives them, seen through a
// real folder of an in-memory volume.
#include "fat/fat_names.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "fat/fat_volume.h"
#include "fat_format.h"
#include "shared/byte_streams.h"

namespace tessarin::fat {
namespace {

using test::SparseDevice;
using test::TextSource;

struct Fixture {
  SparseDevice device{65536};
  std::unique_ptr<Volume> volume;

  Fixture() {
    test::FormatVolume(device, FatType::Fat16, 0, 65536);
    OpenOptions options;
    options.writable = true;
    volume = Volume::Open(device, 0, 0, options).volume;
  }
  Entry Write(const std::string& path, std::optional<std::string> shortName = {}) {
    TextSource none("");
    CreateOptions options;
    options.shortName = std::move(shortName);
    const Result<Entry> r = volume->WriteFile(path, none, options);
    EXPECT_TRUE(r.ok()) << path << ": " << Describe(r.status.fault);
    return r.value;
  }
};

TEST(FatNames, ShortNamesAsWindowsMakesThem) {
  struct Case {
    const char* name;
    const char* shortName;
    bool longEntries;  // false: the short entry alone, with its case bits
  };
  const Case cases[] = {
      {"README.TXT", "README.TXT", false},
      {"readme.txt", "README.TXT", false},
      {"readme.TXT", "README.TXT", false},
      {"ReadMe.txt", "README.TXT", true},
      {"ab", "AB", false},
      {"Long File Name.txt", "LONGFI~1.TXT", true},
      {"alarm_log_2026-12-10_0001.csv", "ALARM_~1.CSV", true},
      {"a.b.c.txt", "ABC~1.TXT", true},
      {"file.tar.gz", "FILETA~1.GZ", true},
      {"index.html", "INDEX~1.HTM", true},
      {".hidden", "HIDDEN~1", true},
      {"   leading blanks", "LEADIN~1", true},
      {"with blank.txt", "WITHBL~1.TXT", true},
      {"a+b=c.txt", "A_B_C~1.TXT", true},
      {"Logo [1].bmp", "LOGO_1~1.BMP", true},
      {"Übersicht Maße.txt", "ÜBERSI~1.TXT", true},
      {"über.txt", "ÜBER.TXT", true},  // lower case beyond ASCII needs the long name
      {"Ωmega.txt", "_MEGA~1.TXT", true},
      {"12345678.1234", "123456~1.123", true},
  };
  Fixture f;
  int folder = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = "case" + std::to_string(++folder);
    ASSERT_TRUE(f.volume->MakeFolders(dir).ok());
    const Entry e = f.Write(dir + "/" + c.name);
    EXPECT_EQ(e.shortName, c.shortName);
    EXPECT_EQ(e.longName, c.longEntries);
    // Read back from the card as another reader would.
    const Result<std::vector<Entry>> listed = f.volume->List(dir);
    ASSERT_TRUE(listed.ok());
    ASSERT_EQ(listed.value.size(), 1u);
    EXPECT_EQ(listed.value[0].name, c.name);
    EXPECT_EQ(listed.value[0].shortName, c.shortName);
  }
  EXPECT_TRUE(f.volume->Check().empty());
}

TEST(FatNames, NumericTailsThenHashedOnesInOneFolder) {
  Fixture f;
  std::vector<std::string> names;
  for (int i = 1; i <= 8; ++i) names.push_back(f.Write("Long File Name " + std::to_string(i) + ".txt").shortName);
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 4),
            (std::vector<std::string>{"LONGFI~1.TXT", "LONGFI~2.TXT", "LONGFI~3.TXT", "LONGFI~4.TXT"}));
  const std::regex hashed("LO[0-9A-F]{4}~[1-9]\\.TXT");
  for (std::size_t i = 4; i < names.size(); ++i) EXPECT_TRUE(std::regex_match(names[i], hashed)) << names[i];
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());

  // The same names into another folder come out the same: nothing but the
  // folder's own names decides.
  ASSERT_TRUE(f.volume->MakeFolders("again").ok());
  for (int i = 1; i <= 8; ++i)
    EXPECT_EQ(f.Write("again/Long File Name " + std::to_string(i) + ".txt").shortName, names[i - 1]);
  // A file whose long name is another's short name cannot be told from it.
  TextSource none("");
  EXPECT_EQ(f.volume->WriteFile("LONGFI~1.TXT", none).status.fault, Fault::NameClash);
}

TEST(FatNames, RequestedShortNameWhenFree) {
  Fixture f;
  EXPECT_EQ(f.Write("alarm log.csv", "ALARML~7.CSV").shortName, "ALARML~7.CSV");
  EXPECT_EQ(f.Write("alarm log 2.csv", "ALARML~7.CSV").shortName, "ALARML~1.CSV") << "taken: one is made up";
  EXPECT_EQ(f.Write("notes.txt", "FOO.TXT").shortName, "NOTES.TXT") << "an 8.3 name stands for itself";
  EXPECT_EQ(f.Write("Some long name.txt", "bad?name").shortName, "SOMELO~1.TXT") << "no short name";
  EXPECT_EQ(f.Write("Another long name.txt", "NOTES.TXT").shortName, "ANOTHE~1.TXT") << "another file's name";
  // Found by either name.
  EXPECT_EQ(f.volume->Find("ALARML~7.CSV").value.name, "alarm log.csv");
  EXPECT_EQ(f.volume->Find("ALARM LOG.CSV").value.shortName, "ALARML~7.CSV");
}

TEST(FatNames, WhatALongNameMayHold) {
  const std::pair<std::string, NameProblem> cases[] = {
      {"plain.txt", NameProblem::None},
      {"   leading blanks", NameProblem::None},
      {"Übersicht € 😀.txt", NameProblem::None},
      {std::string(255, 'x'), NameProblem::None},
      {std::string(256, 'x'), NameProblem::TooLong},
      {std::string(127, 'x') + "😀", NameProblem::None},  // two units for the emoji: 129
      {"", NameProblem::Empty},
      {".", NameProblem::DotName},
      {"..", NameProblem::DotName},
      {"a:b", NameProblem::ForbiddenCharacter},
      {"what?", NameProblem::ForbiddenCharacter},
      {"tab\there", NameProblem::ForbiddenCharacter},
      {"back\\slash", NameProblem::ForbiddenCharacter},
      {"ends.", NameProblem::TrailingDotOrBlank},
      {"ends ", NameProblem::TrailingDotOrBlank},
      {"\xC3\x28", NameProblem::BadEncoding},
      {"\xED\xA0\x80", NameProblem::BadEncoding},  // a surrogate written as UTF-8
  };
  for (const auto& [name, problem] : cases) EXPECT_EQ(CheckLongName(name), problem) << name;
}

TEST(FatNames, TextConversions) {
  for (const std::string text : {"Übersicht Maße €.txt", "😀 mixed Ω", "plain"}) {
    const auto wide = Utf8ToUtf16(text);
    ASSERT_TRUE(wide);
    EXPECT_EQ(Utf16ToUtf8(*wide), text);
  }
  EXPECT_EQ(Utf16ToUtf8(u"a\xD800z"), "a\xEF\xBF\xBDz") << "a lone surrogate";
  EXPECT_EQ(FoldName("Übersicht straße ÿ ж"), "ÜBERSICHT STRAßE Ÿ Ж");
  for (int b = 0; b < 256; ++b) EXPECT_EQ(UnicodeToOem(OemToUnicode(static_cast<std::uint8_t>(b))), b);
  EXPECT_EQ(UnicodeToOem(u'€'), -1);
  const auto parsed = ParseShortName("ÜBERSI~1.TXT");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(ShortNameText(*parsed), "ÜBERSI~1.TXT");
  for (const char* bad : {"lower.txt", "TOOLONGNAME.TXT", "NAME.LONG", ".TXT", "NAME.", "A*B"})
    EXPECT_FALSE(ParseShortName(bad)) << bad;
}

}  // namespace
}  // namespace tessarin::fat
