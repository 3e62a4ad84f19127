#include "boot/profile_text.h"

#include <gtest/gtest.h>

#include <string>

#include "shared/profile_cases.h"

namespace tessarin::test {
namespace {

TEST(ProfileText, ReadsLikeTheProfileFunctions) {
  for (const ProfileCase& c : kProfileCases) {
    SCOPED_TRACE(std::string(c.file) + " [" + c.section + "] " + c.key);
    const ProfileFile* file = FindFile(c.file);
    std::optional<ProfileText> profile;
    if (file != nullptr) profile.emplace(file->text);
    const ProfileText* p = profile ? &*profile : nullptr;
    if (c.read == ProfileRead::String) {
      EXPECT_EQ(ProfileGetString(p, c.section, c.key, c.defaultString), c.expectString);
    } else {
      EXPECT_EQ(ProfileGetInt(p, c.section, c.key, c.defaultInt), c.expectInt);
    }
  }
}

TEST(ProfileText, KeepsAtMost259Characters) {
  const std::string longValue(300, 'm');
  const ProfileText profile("[CF0]\nModelNumber=" + longValue + "\n");
  EXPECT_EQ(ProfileGetString(&profile, "CF0", "ModelNumber", "ERROR"), std::string(259, 'm'));
}

TEST(ProfileText, ParsesIntegersAsTheSystemDoes) {
  struct {
    const char* text;
    int value;
  } cases[] = {
      {"4294967295", -1}, {"-1", -1},     {"0", 0},
      {"  42", 42},       {"-0x10", -16}, {"0o17", 15},
      {"0b101", 5},       {"0X10", 0},    {"2147483648", static_cast<int>(0x80000000u)},
      {"+", 0},           {"", 0},        {"99999999999", static_cast<int>(99999999999ull & 0xFFFFFFFFull)},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseProfileInt(c.text), c.value) << c.text;
}

}  // namespace
}  // namespace tessarin::test
