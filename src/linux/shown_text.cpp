#include "linux/shown_text.h"

#include <cstdio>

namespace tessarin::linux_port {

std::string ShownText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto hex = [&out](unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    out += buf;
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      hex(c);
      ++i;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // A whole, shortest-form UTF-8 sequence outside the C1 controls stays.
    std::size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    for (std::size_t k = 1; k < n; ++k)
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) n = 0;
    if (n >= 2) {
      const auto c1 = static_cast<unsigned char>(text[i + 1]);
      if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) ||
          (c == 0xF4 && c1 >= 0x90) || (c == 0xC2 && c1 < 0xA0))
        n = 0;
    }
    if (n == 0) {
      hex(c);
      ++i;
      continue;
    }
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

}  // namespace tessarin::linux_port
