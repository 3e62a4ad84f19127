#include "fat/fat_names.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tessarin::fat {
namespace {

// Code page 850 from 0x80 on.
constexpr char16_t kCp850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C,
    0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580, 0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6,
    0x00A7, 0x00F7, 0x00B8, 0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

// Characters a long name must not hold besides the control characters.
bool ForbiddenInLongName(char16_t c) {
  switch (c) {
    case u'"':
    case u'*':
    case u'/':
    case u':':
    case u'<':
    case u'>':
    case u'?':
    case u'\\':
    case u'|':
      return true;
    default:
      return c < 0x20;
  }
}

// Characters a short name must not hold (beyond the long name's): they
// become '_' in a basis name.
bool ForbiddenInShortName(std::uint8_t b) {
  switch (b) {
    case '+':
    case ',':
    case ';':
    case '=':
    case '[':
    case ']':
    case '.':
    case ' ':
      return true;
    default:
      return b < 0x20 || b == 0x7F || b == '"' || b == '*' || b == '/' || b == ':' || b == '<' || b == '>' ||
             b == '?' || b == '\\' || b == '|';
  }
}

bool IsAsciiLower(char16_t c) { return c >= u'a' && c <= u'z'; }
bool IsAsciiUpper(char16_t c) { return c >= u'A' && c <= u'Z'; }

// The case byte's bit for one part of an 8.3 name: 0 when it is upper
// case (or has no letters), bit when it is all lower-case ASCII; none
// when mixed, or when a letter beyond ASCII is in lower case (readers
// disagree on how to lower those).
std::optional<std::uint8_t> PartCase(std::u16string_view part, std::uint8_t bit) {
  bool lower = false, upper = false;
  for (char16_t c : part) {
    if (IsAsciiLower(c)) {
      lower = true;
    } else if (IsAsciiUpper(c)) {
      upper = true;
    } else if (Upcase(c) != c) {
      return std::nullopt;
    }
  }
  if (lower && upper) return std::nullopt;
  return lower ? bit : std::uint8_t{0};
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::size_t PrimaryLength(const ShortName& name) {
  std::size_t n = 8;
  while (n > 0 && name[n - 1] == ' ') --n;
  return n;
}

}  // namespace

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    char32_t cp = 0;
    std::size_t length = 0;
    char32_t least = 0;
    if (b < 0x80) {
      cp = b;
      length = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      length = 2;
      least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      length = 3;
      least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      length = 4;
      least = 0x10000;
    } else {
      return std::nullopt;
    }
    if (i + length > utf8.size()) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto c = static_cast<unsigned char>(utf8[i + k]);
      if ((c & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += length;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      AppendUtf8(out, char32_t{0x10000} + ((char32_t{c} - char32_t{0xD800}) << 10U) +
                          (char32_t{utf16[i + 1]} - char32_t{0xDC00}));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

char16_t Upcase(char16_t c) {
  if (c < 0x80) return IsAsciiLower(c) ? static_cast<char16_t>(c - 32) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x131) return u'I';
    if (c == 0x17F) return u'S';
    if (c == 0x130 || c == 0x138 || c == 0x149 || c == 0x178) return c;
    if (c < 0x138 || (c >= 0x14A && c < 0x178)) return (c & 1) ? static_cast<char16_t>(c - 1) : c;
    return (c & 1) ? c : static_cast<char16_t>(c - 1);  // 0x139-0x148 and 0x179-0x17E pair odd with even
  }
  if (c >= 0x3B1 && c <= 0x3CB) return c == 0x3C2 ? char16_t{0x3A3} : static_cast<char16_t>(c - 32);
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 37);
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 63);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
  return c;
}

std::string FoldName(std::string_view utf8) {
  const auto wide = Utf8ToUtf16(utf8);
  if (!wide) return std::string(utf8);
  std::u16string up = *wide;
  for (char16_t& c : up) c = Upcase(c);
  return Utf16ToUtf8(up);
}

char16_t OemToUnicode(std::uint8_t b) { return b < 0x80 ? char16_t{b} : kCp850High[b - 0x80]; }

int UnicodeToOem(char16_t c) {
  if (c < 0x80) return c;
  for (int i = 0; i < 128; ++i)
    if (kCp850High[i] == c) return 0x80 + i;
  return -1;
}

NameProblem CheckLongName(std::string_view utf8) {
  if (utf8.empty()) return NameProblem::Empty;
  if (utf8 == "." || utf8 == "..") return NameProblem::DotName;
  const auto wide = Utf8ToUtf16(utf8);
  if (!wide) return NameProblem::BadEncoding;
  if (wide->size() > kMaxLongNameUnits) return NameProblem::TooLong;
  for (char16_t c : *wide)
    if (ForbiddenInLongName(c)) return NameProblem::ForbiddenCharacter;
  if (wide->back() == u'.' || wide->back() == u' ') return NameProblem::TrailingDotOrBlank;
  return NameProblem::None;
}

const char* Describe(NameProblem problem) {
  switch (problem) {
    case NameProblem::None:
      return "a good name";
    case NameProblem::Empty:
      return "an empty name";
    case NameProblem::DotName:
      return "the name of a folder's own entries";
    case NameProblem::TooLong:
      return "longer than 255 characters";
    case NameProblem::BadEncoding:
      return "not UTF-8";
    case NameProblem::ForbiddenCharacter:
      return "a character FAT does not allow (control characters and \" * / : < > ? \\ |)";
    case NameProblem::TrailingDotOrBlank:
      return "ends with a dot or a blank, which FAT drops";
  }
  return "an unknown problem";
}

Basis MakeBasis(std::u16string_view longName) {
  Basis basis;
  basis.name.fill(' ');

  // Upper case, in the code page; what has no place there or is not
  // allowed in a short name becomes '_'. Blanks go; so do periods, apart
  // from the last one, which starts the extension.
  std::u16string upper(longName);
  for (char16_t& c : upper) c = Upcase(c);
  std::basic_string<std::uint8_t> oem;
  std::size_t lastDot = std::u16string::npos;
  for (char16_t c : upper) {
    if (c == u' ') continue;
    if (c == u'.') {
      if (oem.empty()) continue;  // leading periods go
      lastDot = oem.size();
      oem += '.';
      continue;
    }
    const int b = UnicodeToOem(c);
    if (b < 0 || ForbiddenInShortName(static_cast<std::uint8_t>(b))) {
      basis.lossy = true;
      oem += '_';
    } else {
      oem += static_cast<std::uint8_t>(b);
    }
  }
  const std::size_t primaryEnd = lastDot == std::u16string::npos ? oem.size() : lastDot;
  std::size_t primaryLength = 0, extensionLength = 0;
  for (std::size_t i = 0; i < primaryEnd && primaryLength < 8; ++i)
    if (oem[i] != '.') basis.name[primaryLength++] = oem[i];
  if (lastDot != std::u16string::npos)
    for (std::size_t i = lastDot + 1; i < oem.size() && extensionLength < 3; ++i)
      basis.name[8 + extensionLength++] = oem[i];
  if (primaryLength == 0) basis.name[0] = '_';

  // An 8.3 name as it stands: nothing dropped, cut or replaced.
  std::size_t primaryChars = 0, extensionChars = 0, dots = 0;
  for (char16_t c : longName) {
    if (c == u'.') {
      ++dots;
    } else if (dots == 0) {
      ++primaryChars;
    } else {
      ++extensionChars;
    }
  }
  basis.fits = !basis.lossy && dots <= 1 && primaryChars >= 1 && primaryChars <= 8 && extensionChars <= 3 &&
               (dots == 0 || extensionChars >= 1) && longName.find(u' ') == std::u16string_view::npos;
  if (basis.fits) {
    const std::size_t dot = longName.find(u'.');
    const auto base = PartCase(longName.substr(0, dot), kLowerBase);
    const auto extension = dot == std::u16string_view::npos ? std::optional<std::uint8_t>(0)
                                                            : PartCase(longName.substr(dot + 1), kLowerExtension);
    basis.caseFlagsOk = base && extension;
    if (basis.caseFlagsOk) basis.caseFlags = *base | *extension;
  }
  return basis;
}

ShortName WithNumericTail(const ShortName& basis, std::uint32_t n) {
  char text[16];
  std::snprintf(text, sizeof text, "~%u", static_cast<unsigned>(n));
  const std::string tail(text, std::min<std::size_t>(std::strlen(text), 7));
  ShortName name = basis;
  const std::size_t keep = std::min(PrimaryLength(basis), 8 - tail.size());
  for (std::size_t i = keep; i < 8; ++i) name[i] = ' ';
  for (std::size_t i = 0; i < tail.size(); ++i) name[keep + i] = static_cast<std::uint8_t>(tail[i]);
  return name;
}

ShortName WithHashedTail(const ShortName& basis, std::uint16_t hash, std::uint32_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  ShortName name = basis;
  const std::size_t keep = std::min<std::size_t>(PrimaryLength(basis), 2);
  for (std::size_t i = keep; i < 8; ++i) name[i] = ' ';
  std::size_t at = keep;
  for (int shift = 12; shift >= 0; shift -= 4) name[at++] = static_cast<std::uint8_t>(kHex[(hash >> shift) & 0xF]);
  name[at++] = '~';
  name[at] = static_cast<std::uint8_t>('0' + (n % 10));
  return name;
}

std::uint16_t LongNameHash(std::u16string_view longName, std::uint32_t round) {
  // FNV-1a over the upper-cased name, so that names that FAT holds to be
  // the same hash alike; the round goes in first.
  std::uint32_t h = 2166136261u;
  auto mix = [&h](std::uint32_t byte) {
    h ^= byte & 0xFF;
    h *= 16777619u;
  };
  for (int shift = 0; shift < 32; shift += 8) mix(round >> shift);
  for (char16_t c : longName) {
    const char16_t u = Upcase(c);
    mix(u);
    mix(u >> 8);
  }
  return static_cast<std::uint16_t>(h ^ (h >> 16));
}

std::uint8_t ShortNameChecksum(const ShortName& name) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : name) sum = static_cast<std::uint8_t>(((sum & 1) ? 0x80 : 0) + (sum >> 1) + b);
  return sum;
}

std::string ShortNameText(const ShortName& name, std::uint8_t caseFlags) {
  std::string out;
  auto append = [&](std::size_t from, std::size_t to, bool lower) {
    for (std::size_t i = from; i < to; ++i) {
      std::uint8_t b = name[i];
      if (lower && b >= 'A' && b <= 'Z') b = static_cast<std::uint8_t>(b + 32);
      AppendUtf8(out, OemToUnicode(b));
    }
  };
  std::size_t primaryEnd = 8;
  while (primaryEnd > 0 && name[primaryEnd - 1] == ' ') --primaryEnd;
  std::size_t extensionEnd = 11;
  while (extensionEnd > 8 && name[extensionEnd - 1] == ' ') --extensionEnd;
  append(0, primaryEnd, (caseFlags & kLowerBase) != 0);
  if (extensionEnd > 8) {
    out += '.';
    append(8, extensionEnd, (caseFlags & kLowerExtension) != 0);
  }
  return out;
}

std::optional<ShortName> ParseShortName(std::string_view text) {
  const auto wide = Utf8ToUtf16(text);
  if (!wide || wide->empty()) return std::nullopt;
  ShortName name;
  name.fill(' ');
  std::size_t at = 0;
  bool inExtension = false;
  for (char16_t c : *wide) {
    if (c == u'.') {
      if (inExtension || at == 0) return std::nullopt;
      inExtension = true;
      at = 8;
      continue;
    }
    const int b = UnicodeToOem(c);
    if (b < 0 || Upcase(c) != c || (ForbiddenInShortName(static_cast<std::uint8_t>(b)) && c != u' '))
      return std::nullopt;
    if ((!inExtension && at >= 8) || (inExtension && at >= 11)) return std::nullopt;
    name[at++] = static_cast<std::uint8_t>(b);
  }
  if (inExtension && at == 8) return std::nullopt;  // "NAME." has no extension
  if (name[0] == ' ') return std::nullopt;
  return name;
}

}  // namespace tessarin::fat
