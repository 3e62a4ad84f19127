#include "linux/card_names.h"

#include <locale.h>
#include <wctype.h>

namespace tessarin::linux_port {

bool DecodeUtf8(std::string_view text, std::size_t& i, char32_t& cp) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  if (lead < 0x80) {
    cp = lead;
    length = 1;
  } else if ((lead & 0xE0) == 0xC0) {
    cp = lead & 0x1F;
    length = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    cp = lead & 0x0F;
    length = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    cp = lead & 0x07;
    length = 4;
  } else {
    return false;
  }
  if (i + length > text.size()) return false;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kShortest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += length;
  return true;
}

std::string FoldCardName(std::string_view name) {
  static const locale_t kUtf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::string out;
  for (std::size_t i = 0; i < name.size();) {
    char32_t cp = 0;
    const std::size_t at = i;
    if (!DecodeUtf8(name, i, cp)) {
      out += name[at];
      i = at + 1;
      continue;
    }
    if (kUtf8 != static_cast<locale_t>(nullptr))
      cp = static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), kUtf8));
    else if (cp >= 'a' && cp <= 'z')
      cp -= 'a' - 'A';
    char buf[8];
    std::size_t n = 0;
    if (cp < 0x80) {
      buf[n++] = static_cast<char>(cp);
    } else if (cp < 0x800) {
      buf[n++] = static_cast<char>(0xC0 | (cp >> 6));
      buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      buf[n++] = static_cast<char>(0xE0 | (cp >> 12));
      buf[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      buf[n++] = static_cast<char>(0xF0 | (cp >> 18));
      buf[n++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      buf[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    }
    out.append(buf, n);
  }
  return out;
}

}  // namespace tessarin::linux_port
