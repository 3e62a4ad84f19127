#include "lx/support/terminal_text.h"

#include <cstdio>

namespace tessarin::linux_port {
namespace {

void AppendHex(std::string& out, unsigned char byte) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02x", byte);
  out += buf;
}

}  // namespace

std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto b = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = b(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size() || b(i + 1) < low || b(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  return length;
}

std::string EscapeForTerminal(std::string_view text, bool keepLineBreaks) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
    } else if (c == '\n' && keepLineBreaks) {
      out += '\n';
      ++i;
    } else if (c < 0x80) {
      switch (c) {
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          AppendHex(out, c);
      }
      ++i;
    } else if (const std::size_t n = Utf8SequenceLength(text, i); n == 0) {
      AppendHex(out, c);
      ++i;
    } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // U+0080 to U+009F: the C1 controls, CSI among them.
      AppendHex(out, c);
      AppendHex(out, static_cast<unsigned char>(text[i + 1]));
      i += 2;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string ShellQuoted(std::string_view word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789/._-+=:,@%") == std::string_view::npos;
  if (plain) return std::string(word);
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return EscapeForTerminal(quoted + "'");
}

}  // namespace tessarin::linux_port
