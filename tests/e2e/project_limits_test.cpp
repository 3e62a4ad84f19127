// Project folders at the limits of the card's file system come back byte
// for byte, with their attributes: the longest names, names whose short
// forms clash, trees as deep as a Windows path reaches, empty files, and a
// file beyond 2 GiB.
#include <gtest/gtest.h>

#include <fstream>

#include "e2e_support.h"

namespace e2e {
namespace {

struct LimitCase {
  const char* name;
  std::uint64_t megabytes;
  Tree project;
  std::vector<std::pair<std::string, std::string>> attributes;  // mattrib flags, path in the project
  std::uint64_t hugeSize = 0;  // a sparse file "big.bin" of this size, marked here and there
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

std::string Repeat(const std::string& piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece;
  return s;
}

// Thirty folders deep, the file's path 258 characters from "e:/": as long
// as a Windows path may be.
std::string DeepPath() {
  std::string path;
  for (int level = 1; level <= 30; ++level)
    path += std::string("Level") + (level < 10 ? "0" : "") + std::to_string(level) + "/";
  return path;
}

const std::string kLongAscii = Repeat("Long name ", 25) + "12345";  // 255 characters

std::vector<LimitCase> Cases() {
  const std::string deep = DeepPath();
  return {
      {"LongNames",
       96,
       {{kLongAscii.substr(0, 240) + "data.1.txt", "250 characters, dots among them"},
        {kLongAscii.substr(0, 199) + "/" + kLongAscii, "255 characters in a long-named folder"}},
       {{"+h", kLongAscii.substr(0, 199) + "/" + kLongAscii}, {"+r +s", kLongAscii.substr(0, 199)}}},
      {"ShortNameClashes",
       96,
       {{"Long File Name 1.txt", "one"},
        {"Long File Name 2.txt", "two"},
        {"Long File Name 3.txt", "three"},
        {"Long File Name 4.txt", "four"},
        {"Long File Name 5.txt", "five"},
        {"Long File Name 6.txt", "six"},
        {"LONGFI~1.TXT", "a short name the others could have taken"},
        {"upper/ABCDEFGH1.TXT", "upper case"},
        {"lower/abcdefgh1.txt", "lower case"},
        {"mixed/AbcdEfgh1.Txt", "mixed case"},
        {"mixed/readme.txt", "lower case short name"},
        {"mixed/Readme.TXT.bak", "two dots"},
        {"a.b.c.d", "dots"},
        {"with blank.txt", "a blank"},
        {"   leading blanks", "kept"}},
       {{"+h", "LONGFI~1.TXT"}, {"+r", "Long File Name 6.txt"}, {"-a", "mixed/AbcdEfgh1.Txt"}}},
      {"DeepTree",
       96,
       {{deep + "end.txt", "at the bottom"}, {"Level01/Level02/mid.txt", "half way"}, {deep.substr(0, 80), ""}},
       {{"+s", deep.substr(0, deep.size() - 1)}, {"+h +r", deep + "end.txt"}}},
      {"EmptyFiles",
       96,
       {{"empty.bin", ""},
        {"hidden empty", ""},
        {"folder/empty.txt", ""},
        {"folder/one byte", "1"},
        {"empty folder/", ""},
        {"cluster.bin", std::string(4096, 'c')},
        {"cluster and one.bin", std::string(4097, 'd')}},
       {{"+h", "hidden empty"}, {"+r +s", "empty.bin"}, {"+h", "empty folder"}}},
      // A card of almost 4 GiB (sparse) that holds a file beyond 2 GiB.
      {"FileBeyond2GiB", 4000, {{"small.txt", "beside the big one"}}, {{"+r", "big.bin"}}, (2ull << 30) + 3 * 4096 + 5},
  };
}

std::map<std::string, std::uint32_t> CardAttributes(const fs::path& card) {
  std::map<std::string, std::uint32_t> attributes;
  for (const auto& a : ParseAttributeListing(Mtools(card, "mattrib -/ ::/Project"))) attributes[a.path] = a.attributes;
  return attributes;
}

std::string CardFileHash(const fs::path& card, const std::string& path) {
  return MustShell("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 mtype -i " +
                   Quote(card.string() + "@@" + std::to_string(std::uint64_t{kPartitionStart} * 512)) + " " +
                   Quote(path) + " | sha256sum");
}

class ProjectAtTheLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ProjectAtTheLimits, ComesBackByteForByteWithItsAttributes) {
  const LimitCase& c = GetParam();
  Scratch s;
  const fs::path card = s / "card.img";
  const fs::path tmp = s / "tmp";
  fs::create_directories(tmp);
  MakeCard(card, {c.megabytes, std::nullopt, true});
  WriteTree(s / "project", c.project);
  if (c.hugeSize != 0) {
    // Marks at the start, around 1 GiB, on both sides of 2 GiB and at the
    // end; holes between.
    const fs::path big = s / "project" / "big.bin";
    std::ofstream(big, std::ios::binary).close();
    fs::resize_file(big, c.hugeSize);
    std::fstream out(big, std::ios::in | std::ios::out | std::ios::binary);
    for (const std::uint64_t at : {std::uint64_t{0}, std::uint64_t{1} << 30, (std::uint64_t{2} << 30) - 7,
                                   std::uint64_t{2} << 30, c.hugeSize - 9}) {
      out.seekp(static_cast<std::streamoff>(at));
      out << "mark@" << at;
    }
  }
  PutOnCard(card, s / "project", "Project");
  for (const auto& [flags, path] : c.attributes) Mtools(card, "mattrib " + flags + " " + Quote("::/Project/" + path));
  const auto attributesBefore = CardAttributes(card);
  for (const auto& [flags, path] : c.attributes) EXPECT_TRUE(attributesBefore.count(path)) << path;
  const std::set<Listed> namesBefore = MdirListing(CardVolume(card), "Project");
  const std::string bigHash = c.hugeSize != 0 ? FileHash(s / "project" / "big.bin") : std::string();
  if (c.hugeSize != 0) {
    ASSERT_EQ(CardFileHash(card, "::/Project/big.bin"), bigHash);
  }

  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}, {"NK.BIN", "image"}}, {"BLDR", "NK.BIN"}, s.path());
  PutCardDefinitions(s.path());
  const Output run = RunTessarin(s.path(), tmp, "--yes card.img");
  ASSERT_EQ(run.status, 0) << run.err;
  const auto log = LogMessages(run.out);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "::Info:: System restored to FLASH successfully.");

  if (c.hugeSize != 0) {
    EXPECT_EQ(CardFileHash(card, "::/Project/big.bin"), bigHash);
    EXPECT_EQ(CardFileHash(card, "::/Project/small.txt"), FileHash(s / "project" / "small.txt"));
  } else {
    EXPECT_EQ(Digest(CardTree(card, "Project", s.path())), Digest(ReadTree(s / "project")));
  }
  EXPECT_EQ(CardAttributes(card), attributesBefore);
  EXPECT_EQ(MdirListing(CardVolume(card), "Project"), namesBefore) << "the short names the card had";
  EXPECT_EQ(FsckFindings(card), std::vector<std::string>{});
  EXPECT_TRUE(fs::is_empty(tmp)) << "left in the temporary directory: " << fs::directory_iterator(tmp)->path();
}

INSTANTIATE_TEST_SUITE_P(Projects, ProjectAtTheLimits, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
