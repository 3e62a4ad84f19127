// Names on a FAT volume: long names (UTF-16 on the card, UTF-8 here), the
// 8.3 short names in the OEM code page (850, Western Europe), the rules of
// what a name may hold, and the short names Windows derives from long
// ones.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessarin::fat {

// A short name as a directory entry stores it: 8 + 3 OEM bytes, padded
// with blanks, in upper case.
using ShortName = std::array<std::uint8_t, 11>;

// Bits of a directory entry's case byte: the short name's base or
// extension is shown in lower case (a long name that differs from its
// short name only so needs no long-name entries).
inline constexpr std::uint8_t kLowerBase = 0x08;
inline constexpr std::uint8_t kLowerExtension = 0x10;

inline constexpr std::size_t kMaxLongNameUnits = 255;

// UTF-8 to UTF-16; none when the text is not well-formed UTF-8.
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// Upper case as FAT compares names: ASCII, Latin-1, Latin Extended-A,
// Greek and Cyrillic.
char16_t Upcase(char16_t c);
// The key under which two names are the same on FAT: upper case, UTF-8.
// Malformed UTF-8 keeps its bytes.
std::string FoldName(std::string_view utf8);

// Code page 850.
char16_t OemToUnicode(std::uint8_t b);
// -1 when the character has no place in the code page.
int UnicodeToOem(char16_t c);

// Why a long name cannot be put on a FAT volume.
enum class NameProblem {
  None,
  Empty,
  DotName,             // "." or ".."
  TooLong,             // more than 255 UTF-16 units
  BadEncoding,         // not UTF-8
  ForbiddenCharacter,  // control characters and " * / : < > ? \ |
  TrailingDotOrBlank,  // Windows would drop them: the name would change
};
NameProblem CheckLongName(std::string_view utf8);
const char* Describe(NameProblem problem);

// What a long name gives for its short name.
struct Basis {
  ShortName name{};          // the basis name, without numeric tail
  bool lossy = false;        // a character had to become '_'
  bool fits = false;         // the long name is an 8.3 name itself, up to case
  bool caseFlagsOk = false;  // fits, and its case is told by the case byte alone
  std::uint8_t caseFlags = 0;
};
Basis MakeBasis(std::u16string_view longName);

// "BASIS~N": the primary part cut so that the tail fits in 8 characters.
ShortName WithNumericTail(const ShortName& basis, std::uint32_t n);
// Windows' form past the fourth numeric tail: the first two characters,
// four hexadecimal digits of a hash of the long name, then "~N".
ShortName WithHashedTail(const ShortName& basis, std::uint16_t hash, std::uint32_t n);
// The hash for WithHashedTail; round > 0 gives further values when the
// first one's names are all taken.
std::uint16_t LongNameHash(std::u16string_view longName, std::uint32_t round);

// The checksum that ties long-name entries to their short entry.
std::uint8_t ShortNameChecksum(const ShortName& name);

// "NAME.EXT" in UTF-8, with the case byte's lower-case bits applied.
std::string ShortNameText(const ShortName& name, std::uint8_t caseFlags = 0);
// The stored form of "NAME.EXT" (UTF-8; upper case is required); none when
// it is no valid short name.
std::optional<ShortName> ParseShortName(std::string_view text);

}  // namespace tessarin::fat
