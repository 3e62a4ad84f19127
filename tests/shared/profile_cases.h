// Cases for reading INI files the way the Windows profile functions do.
// The unit suite runs them against our own reader; the Windows suite runs
// the same table against the system's functions, so both must agree.
#pragma once

#include <cstring>

namespace tessarin::test {

// One INI file's text.
struct ProfileFile {
  const char* name;
  const char* text;
};

inline constexpr ProfileFile kProfileFiles[] = {
    {"basic.ini",
     "[CF0]\r\n"
     "ModelNumber=SDCFB-64\r\n"
     "Capacity=64094208\r\n"
     "NoHeads = 8 \r\n"
     "  NoSectorsPerTrack=  32\r\n"
     "\r\n"
     "; a comment line\r\n"
     "[cf1]\r\n"
     "modelnumber=lower-case names\r\n"
     "Capacity=4294967295\r\n"
     "NoHeads=-1\r\n"
     "Empty=\r\n"
     "NoValue\r\n"
     "Quoted=\"  padded  \"\r\n"
     "Single='x'\r\n"
     "HalfQuoted=\"open\r\n"
     "Hex=0x10\r\n"
     "Trailing=12abc\r\n"
     "Words=abc\r\n"
     "Plus=+7\r\n"
     "Big=4294967296\r\n"
     "Spaced=  -3  \r\n"
     "Twice=first\r\n"
     "Twice=second\r\n"},
    {"duplicate.ini",
     "[CF0]\n"
     "ModelNumber=first\n"
     "[CF0]\n"
     "ModelNumber=second\n"
     "Capacity=128\n"},
    {"no-section.ini",
     "ModelNumber=outside\n"
     "[ CF0 ]\n"
     "ModelNumber=blank-padded section\n"
     "[CF1\n"
     "ModelNumber=after broken header\n"},
};

// The file of kProfileFiles by its name; none when it is not one of them.
inline const ProfileFile* FindFile(const char* name) {
  for (const ProfileFile& f : kProfileFiles) {
    if (std::strcmp(f.name, name) == 0) return &f;
  }
  return nullptr;
}

enum class ProfileRead { String, Int };

struct ProfileCase {
  const char* file;  // one of kProfileFiles, or a file that does not exist
  const char* section;
  const char* key;
  ProfileRead read;
  const char* defaultString;  // for String reads
  int defaultInt;             // for Int reads
  const char* expectString;
  int expectInt;
};

inline constexpr ProfileCase kProfileCases[] = {
    // Text values.
    {"basic.ini", "CF0", "ModelNumber", ProfileRead::String, "ERROR", 0, "SDCFB-64", 0},
    {"basic.ini", "cf0", "MODELNUMBER", ProfileRead::String, "ERROR", 0, "SDCFB-64", 0},
    {"basic.ini", "  CF0  ", " ModelNumber ", ProfileRead::String, "ERROR", 0, "SDCFB-64", 0},
    {"basic.ini", "CF1", "ModelNumber", ProfileRead::String, "ERROR", 0, "lower-case names", 0},
    {"basic.ini", "CF0", "Missing", ProfileRead::String, "ERROR", 0, "ERROR", 0},
    {"basic.ini", "CF9", "ModelNumber", ProfileRead::String, "ERROR", 0, "ERROR", 0},
    {"basic.ini", "CF1", "Empty", ProfileRead::String, "ERROR", 0, "", 0},
    {"basic.ini", "CF1", "NoValue", ProfileRead::String, "ERROR", 0, "ERROR", 0},
    {"basic.ini", "CF1", "Quoted", ProfileRead::String, "ERROR", 0, "  padded  ", 0},
    {"basic.ini", "CF1", "Single", ProfileRead::String, "ERROR", 0, "x", 0},
    {"basic.ini", "CF1", "HalfQuoted", ProfileRead::String, "ERROR", 0, "\"open", 0},
    {"basic.ini", "CF1", "Twice", ProfileRead::String, "ERROR", 0, "first", 0},
    {"basic.ini", "CF0", "Missing", ProfileRead::String, "dflt  ", 0, "dflt", 0},
    {"duplicate.ini", "CF0", "ModelNumber", ProfileRead::String, "ERROR", 0, "first", 0},
    {"duplicate.ini", "CF0", "Capacity", ProfileRead::String, "ERROR", 0, "ERROR", 0},
    // Keys before the first section belong to no section. Wine reads them as
    // the nameless section's; Windows does not (the Windows suite skips this
    // case).
    {"no-section.ini", "", "ModelNumber", ProfileRead::String, "ERROR", 0, "ERROR", 0},
    // Blanks inside a section's brackets do not count.
    {"no-section.ini", "CF0", "ModelNumber", ProfileRead::String, "ERROR", 0, "blank-padded section", 0},
    {"no-section.ini", " CF0 ", "ModelNumber", ProfileRead::String, "ERROR", 0, "blank-padded section", 0},
    // A header without ']' opens no section: its keys stay in the one before.
    {"no-section.ini", "CF1", "ModelNumber", ProfileRead::String, "ERROR", 0, "ERROR", 0},
    {"absent.ini", "CF0", "ModelNumber", ProfileRead::String, "ERROR", 0, "ERROR", 0},
    // Integers.
    {"basic.ini", "CF0", "Capacity", ProfileRead::Int, nullptr, -1, nullptr, 64094208},
    {"basic.ini", "CF0", "NoHeads", ProfileRead::Int, nullptr, -1, nullptr, 8},
    {"basic.ini", "CF0", "NoSectorsPerTrack", ProfileRead::Int, nullptr, -1, nullptr, 32},
    {"basic.ini", "CF0", "NoCylinders", ProfileRead::Int, nullptr, -1, nullptr, -1},
    {"basic.ini", "CF1", "Capacity", ProfileRead::Int, nullptr, 0, nullptr, -1},
    {"basic.ini", "CF1", "NoHeads", ProfileRead::Int, nullptr, 0, nullptr, -1},
    {"basic.ini", "CF1", "Empty", ProfileRead::Int, nullptr, 77, nullptr, 77},
    {"basic.ini", "CF1", "NoValue", ProfileRead::Int, nullptr, 77, nullptr, 77},
    {"basic.ini", "CF1", "Hex", ProfileRead::Int, nullptr, -1, nullptr, 16},
    {"basic.ini", "CF1", "Trailing", ProfileRead::Int, nullptr, -1, nullptr, 12},
    {"basic.ini", "CF1", "Words", ProfileRead::Int, nullptr, -1, nullptr, 0},
    {"basic.ini", "CF1", "Plus", ProfileRead::Int, nullptr, -1, nullptr, 7},
    {"basic.ini", "CF1", "Big", ProfileRead::Int, nullptr, -1, nullptr, 0},
    {"basic.ini", "CF1", "Spaced", ProfileRead::Int, nullptr, -1, nullptr, -3},
    {"absent.ini", "CF0", "Capacity", ProfileRead::Int, nullptr, -1, nullptr, -1},
};

}  // namespace tessarin::test
