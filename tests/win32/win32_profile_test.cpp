// Our INI reader and the system's profile functions must give the same
// answers: the card definitions are read with the one on Windows and the
// other elsewhere.
#include "win32/platform/win32_profile.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "boot/profile_text.h"
#include "shared/profile_cases.h"
#include "test_helpers.h"

namespace tessarin::test {
namespace {

TEST(Win32Profile, AgreesWithOurReaderOnTheSharedTable) {
  ScratchFolder folder("profile");
  for (const ProfileFile& f : kProfileFiles) WriteFileText(folder / f.name, f.text);

  Win32Profile system;
  for (const ProfileCase& c : kProfileCases) {
    SCOPED_TRACE(std::string(c.file) + " [" + c.section + "] " + c.key);
    // Wine reads the keys above the first section as a nameless section;
    // Windows does not, and our reader follows Windows. The card
    // definitions never ask for a nameless section.
    if (c.section[0] == '\0') continue;
    const std::string path = folder / c.file;
    const ProfileFile* file = FindFile(c.file);
    std::optional<ProfileText> profile;
    if (file != nullptr) profile.emplace(file->text);
    const ProfileText* ours = profile ? &*profile : nullptr;
    if (c.read == ProfileRead::String) {
      const std::string fromSystem = system.ReadProfileString(c.section, c.key, c.defaultString, path);
      EXPECT_EQ(fromSystem, c.expectString);
      EXPECT_EQ(ProfileGetString(ours, c.section, c.key, c.defaultString), fromSystem);
    } else {
      const int fromSystem = system.ReadProfileInt(c.section, c.key, c.defaultInt, path);
      EXPECT_EQ(fromSystem, c.expectInt);
      EXPECT_EQ(ProfileGetInt(ours, c.section, c.key, c.defaultInt), fromSystem);
    }
  }
}

TEST(Win32Profile, IntegersAndLongValuesMatchOurReader) {
  ScratchFolder folder("profile-values");
  const char* texts[] = {"4294967295", "-1", "0", "  42", "-0x10",       "0o17", "0b101", "0X10",
                         "2147483648", "+",  "",  "9x",   "99999999999", "0x",   "-",     "007"};
  std::string ini = "[V]\r\n";
  for (std::size_t i = 0; i < std::size(texts); ++i) {
    ini.append("k").append(std::to_string(i)).append("=").append(texts[i]).append("\r\n");
  }
  const std::string longValue(300, 'm');
  ini += "long=" + longValue + "\r\n";
  const std::string path = folder / "values.ini";
  WriteFileText(path, ini);

  Win32Profile system;
  const ProfileText ours(ini);
  for (std::size_t i = 0; i < std::size(texts); ++i) {
    const std::string key = std::string("k").append(std::to_string(i));
    EXPECT_EQ(ProfileGetInt(&ours, "V", key, -5), system.ReadProfileInt("V", key, -5, path)) << '"' << texts[i] << '"';
  }
  // At most 259 characters of a value reach the card definitions.
  const std::string fromSystem = system.ReadProfileString("V", "long", "ERROR", path);
  EXPECT_EQ(fromSystem, std::string(259, 'm'));
  EXPECT_EQ(ProfileGetString(&ours, "V", "long", "ERROR"), fromSystem);
}

}  // namespace
}  // namespace tessarin::test
