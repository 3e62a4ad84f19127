#include "card/entry_names.h"

#include <cstdio>

namespace tessarin {

std::string WhyNameUnsafe(std::string_view name) {
  if (name.empty()) return "an empty name";
  if (name == "." || name == "..") return "a name that points at a folder itself (\"" + std::string(name) + "\")";
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\') return "a name with a path separator";
    if (u == 0) return "a name with a NUL character";
    if (u < 0x20 || u == 0x7F) return "a name with a control character";
  }
  return {};
}

std::string WhyRelativePathUnsafe(std::string_view path) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view part = path.substr(start, slash == std::string_view::npos ? path.npos : slash - start);
    if (std::string why = WhyNameUnsafe(part); !why.empty()) return why;
    if (slash == std::string_view::npos) return {};
    start = slash + 1;
  }
}

std::string EscapeName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto u = static_cast<unsigned char>(name[i]);
    if (u == '\\') {
      out += "\\\\";
      continue;
    }
    if (u >= 0x20 && u < 0x7F) {
      out += name[i];
      continue;
    }
    // A whole UTF-8 sequence stands as it is; a broken one is escaped.
    std::size_t len = u >= 0xF0 && u < 0xF5 ? 4 : u >= 0xE0 ? 3 : u >= 0xC2 && u < 0xE0 ? 2 : 0;
    if (u >= 0xF5) len = 0;
    bool whole = len > 0 && i + len <= name.size();
    for (std::size_t k = 1; whole && k < len; ++k) whole = (static_cast<unsigned char>(name[i + k]) & 0xC0) == 0x80;
    if (whole) {
      out.append(name.substr(i, len));
      i += len - 1;
      continue;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", u);
    out += hex;
  }
  return out;
}

}  // namespace tessarin
