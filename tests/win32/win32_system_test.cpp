// Time stamps, error texts, the drive table and the program's resources as
// the system gives them.
#include "win32/platform/win32_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <regex>
#include <vector>

#include "res/string_table.h"
#include "test_helpers.h"
#include "win32/platform/win32_resources.h"
#include "win32_world.h"

namespace tessarin::test {
namespace {

TEST(Win32System, TimeStampIsTheLocalesTime) {
  Win32System system;
  const std::string stamp = system.MakeTimeStamp();
  ASSERT_FALSE(stamp.empty());
  EXPECT_LE(stamp.size(), 63u);
  // The default format of the prefix's locale (English, United States).
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{1,2}:\d{2}:\d{2}( [AP]M)?)"))) << stamp;

  // The user's own time format is not used: every log reads alike.
  char saved[80] = {};
  GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIMEFORMAT, saved, sizeof saved);
  ASSERT_TRUE(SetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIMEFORMAT, "HH'h'mm"));
  char custom[64] = {};
  GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, custom, sizeof custom);
  const std::string overridden = system.MakeTimeStamp();
  SetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIMEFORMAT, saved);
  EXPECT_NE(std::string(custom).find('h'), std::string::npos) << "the override took: " << custom;
  EXPECT_TRUE(std::regex_match(overridden, std::regex(R"(\d{1,2}:\d{2}:\d{2}( [AP]M)?)"))) << overridden;
}

// A card's mark: never 0 (a card without a signature), and fresh each time.
TEST(Win32System, CardMarksAreNonZeroAndFresh) {
  Win32System system;
  std::vector<std::uint32_t> marks;
  for (int i = 0; i < 16; ++i) marks.push_back(system.NewCardMark());
  EXPECT_EQ(std::count(marks.begin(), marks.end(), 0u), 0);
  std::sort(marks.begin(), marks.end());
  EXPECT_EQ(std::unique(marks.begin(), marks.end()), marks.end()) << "no mark twice";
}

TEST(Win32System, ErrorTextsComeFromTheSystem) {
  Win32System system;
  const auto denied = system.SystemErrorText(ERROR_ACCESS_DENIED);
  ASSERT_TRUE(denied.has_value());
  std::string lower = *denied;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(lower.find("denied"), std::string::npos) << *denied;
  EXPECT_FALSE(system.SystemErrorText(0x2000FFFFu).has_value());

  // The whole report as the operator sees it.
  Win32World world;
  world.ctx.log.ShowSystemError(Failure::Win32(FailureKind::Open, ERROR_ACCESS_DENIED));
  ASSERT_EQ(world.ui.boxes.size(), 1u);
  EXPECT_EQ(world.ui.boxes[0].text, "Error 5\n\n" + *denied);
  EXPECT_EQ(world.ui.boxes[0].flags, 0x30u);
  world.ctx.log.ShowSystemError(Failure{});
  EXPECT_EQ(world.ui.boxes.size(), 1u);
  // What the restore found itself goes by the Windows code that says the
  // same: an unusable boot image is ERROR_INVALID_DATA with Windows' text.
  world.ctx.log.ShowSystemError(Failure::Own(FailureKind::InvalidData));
  ASSERT_EQ(world.ui.boxes.size(), 2u);
  EXPECT_EQ(world.ui.boxes[1].text, "Error 13\n\n" + *system.SystemErrorText(ERROR_INVALID_DATA));
}

TEST(Win32System, DriveTable) {
  Win32System system;
  EXPECT_EQ(system.SystemDriveLetter(), 'C');
  EXPECT_EQ(system.DriveTypeOf('C'), DriveType::Fixed);
  EXPECT_EQ(system.DriveTypeOf('c'), DriveType::Fixed);
  const DWORD used = GetLogicalDrives();
  for (char c = 'K'; c <= 'Y'; ++c) {
    if ((used & (1u << (c - 'A'))) == 0) {
      EXPECT_EQ(system.DriveTypeOf(c), DriveType::NoRootDir) << c;
      break;
    }
  }
}

TEST(Win32Resources, StringsAndImagesOfTheModule) {
  Win32Resources resources;
  EXPECT_EQ(resources.LoadResString(109), "Cannot open or read destination drive.");
  EXPECT_EQ(resources.LoadResString(105), TableString(105));
  EXPECT_NE(resources.LoadResString(105).find('\n'), std::string::npos);
  EXPECT_EQ(resources.LoadResString(9999), "");

  const ImageLoad image = resources.LoadBootImage(900);
  ASSERT_TRUE(image);
  const std::string bytes(reinterpret_cast<const char*>(image.bytes.data()), image.bytes.size());
  EXPECT_EQ(bytes.substr(0, 14), "boot image 900");

  const ImageLoad missing = resources.LoadBootImage(901);
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.error, Failure::Win32(FailureKind::NotFound, ERROR_RESOURCE_NAME_NOT_FOUND));
}

}  // namespace
}  // namespace tessarin::test
