// One JSON object on one line, for scripts that read the program's reports.
// Strings are escaped so that the line is valid JSON whatever bytes a name
// holds: control characters as \uXXXX, bytes that are not UTF-8 as U+FFFD.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessarin::linux_port {

// text as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

class JsonObject {
 public:
  JsonObject& Str(std::string_view key, std::string_view value);
  // null when there is no value.
  JsonObject& OptStr(std::string_view key, const std::optional<std::string>& value);
  JsonObject& Int(std::string_view key, std::int64_t value);
  JsonObject& UInt(std::string_view key, std::uint64_t value);
  JsonObject& Num(std::string_view key, double value);
  JsonObject& Bool(std::string_view key, bool value);
  JsonObject& Null(std::string_view key);
  // value must already be JSON (an object or array built here).
  JsonObject& Raw(std::string_view key, std::string_view json);

  // The object, without a line break.
  std::string Text() const { return body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_ = "{";
};

class JsonArray {
 public:
  JsonArray& Add(std::string_view json);
  std::string Text() const { return body_ + "]"; }

 private:
  std::string body_ = "[";
};

}  // namespace tessarin::linux_port
