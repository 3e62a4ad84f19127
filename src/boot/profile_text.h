// INI text read the way the Windows profile functions read it, for the
// platforms that have no such functions.
//
// - Lines are split at line feeds; blanks (and Ctrl-Z) around each line are
//   dropped, and empty lines ignored.
// - "[name]" opens a section; the name is everything between the '[' and
//   the last ']' on the line, without the blanks around it.
// - "key = value" gives a key; blanks before '=' and after it are dropped.
//   A line without '=' is a key without a value. A comment line such as
//   "; text" is simply a key nobody asks for.
// - Section and key names match without regard to case, blanks around the
//   asked-for names dropped; the first section of a name is the only one
//   looked at, and within it the first key of a name wins.
// - A value enclosed in matching single or double quotes loses them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin {

class ProfileText {
 public:
  explicit ProfileText(std::string_view content);

  // The raw value of a key; none when the section or the key is missing or
  // the key has no value.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;

 private:
  struct Key {
    std::string name;
    std::optional<std::string> value;
  };
  struct Section {
    std::string name;
    std::vector<Key> keys;
  };
  std::vector<Section> sections_;
};

// The buffer sizes the card definitions read with, terminator included.
inline constexpr std::size_t kProfileStringBuffer = 260;
inline constexpr std::size_t kProfileIntBuffer = 30;

// ReadProfileString's answer for a file's text (none: no file).
std::string ProfileGetString(const ProfileText* profile, std::string_view section, std::string_view key,
                             std::string_view defaultValue, std::size_t bufferSize = kProfileStringBuffer);

// ReadProfileInt's answer for a file's text (none: no file).
int ProfileGetInt(const ProfileText* profile, std::string_view section, std::string_view key, int defaultValue);

// An integer as the profile functions read one: blanks and control
// characters skipped, an optional sign, "0x", "0o" or "0b" for another
// base, digits up to the first that does not belong, 32-bit wrap-around.
// "4294967295" and "-1" both give -1.
int ParseProfileInt(std::string_view text);

// False when the digits ParseProfileInt takes stand for a number beyond 32
// bits, which it wraps around ("8000000000" would read as 3705032704).
bool ProfileIntFits32Bits(std::string_view text);

}  // namespace tessarin
