#include "lx/support/json_line.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "lx/support/terminal_text.h"

namespace tessarin::linux_port {

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
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
        default: {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        }
      }
      ++i;
    } else if (const std::size_t n = Utf8SequenceLength(text, i); n > 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
      ++i;
    }
  }
  out += '"';
  return out;
}

void JsonObject::Key(std::string_view key) {
  if (body_.size() > 1) body_ += ',';
  body_ += JsonString(key);
  body_ += ':';
}

JsonObject& JsonObject::Str(std::string_view key, std::string_view value) {
  Key(key);
  body_ += JsonString(value);
  return *this;
}

JsonObject& JsonObject::OptStr(std::string_view key, const std::optional<std::string>& value) {
  return value ? Str(key, std::string_view(*value)) : Null(key);
}

JsonObject& JsonObject::Int(std::string_view key, std::int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::UInt(std::string_view key, std::uint64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Num(std::string_view key, double value) {
  Key(key);
  if (!std::isfinite(value)) {
    body_ += "null";
    return *this;
  }
  // Independent of the locale's decimal separator.
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 3).ptr;
  body_.append(buf, end);
  return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Null(std::string_view key) {
  Key(key);
  body_ += "null";
  return *this;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
  Key(key);
  body_.append(json);
  return *this;
}

JsonArray& JsonArray::Add(std::string_view json) {
  if (body_.size() > 1) body_ += ',';
  body_.append(json);
  return *this;
}

}  // namespace tessarin::linux_port
