#include "boot/profile_text.h"

#include <cstdint>

namespace tessarin {
namespace {

bool IsProfileSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsProfileSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsProfileSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

ProfileText::ProfileText(std::string_view content) {
  if (content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  sections_.push_back(Section{});  // keys before the first section; never found
  while (!content.empty()) {
    const std::size_t eol = content.find('\n');
    std::string_view line = content.substr(0, eol);
    content.remove_prefix(eol == std::string_view::npos ? content.size() : eol + 1);

    line = Trim(line);
    if (line.empty()) continue;

    if (line.front() == '[') {
      const std::size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        // "[ CF0 ]" is section CF0: the system drops the blanks inside the
        // brackets too.
        sections_.push_back(Section{std::string(Trim(line.substr(1, close - 1))), {}});
        continue;
      }
      // A header without ']' is read as a key line.
    }

    Key key;
    const std::size_t eq = line.find('=');
    if (eq != std::string_view::npos) {
      key.name = std::string(Trim(line.substr(0, eq)));
      key.value = std::string(Trim(line.substr(eq + 1)));
    } else {
      key.name = std::string(line);
    }
    std::vector<Key>& keys = sections_.back().keys;
    // Runs of nameless keys collapse into the first one.
    if (!key.name.empty() || keys.empty() || !keys.back().name.empty()) keys.push_back(std::move(key));
  }
}

std::optional<std::string> ProfileText::Find(std::string_view section, std::string_view key) const {
  section = Trim(section);
  key = Trim(key);
  for (const Section& s : sections_) {
    if (s.name.empty() || !EqualNoCase(s.name, section)) continue;
    for (const Key& k : s.keys) {
      if (EqualNoCase(k.name, key)) return k.value;
    }
    return std::nullopt;  // only the first section of a name counts
  }
  return std::nullopt;
}

std::string ProfileGetString(const ProfileText* profile, std::string_view section, std::string_view key,
                             std::string_view defaultValue, std::size_t bufferSize) {
  if (bufferSize == 0) return {};
  std::string value;
  std::optional<std::string> found;
  if (profile != nullptr && !Trim(key).empty()) found = profile->Find(section, key);
  if (found) {
    value = *found;
  } else {
    // Blanks at the end of the default are dropped.
    while (!defaultValue.empty() && defaultValue.back() == ' ') defaultValue.remove_suffix(1);
    value = std::string(defaultValue);
  }

  char quote = '\0';
  if (value.size() > 1 && (value.front() == '\'' || value.front() == '"') && value.back() == value.front()) {
    quote = value.front();
    value.erase(0, 1);
  }
  const std::size_t fullLength = value.size();
  if (value.size() > bufferSize - 1) value.resize(bufferSize - 1);
  if (quote != '\0' && bufferSize >= fullLength && !value.empty()) value.pop_back();
  return value;
}

int ProfileGetInt(const ProfileText* profile, std::string_view section, std::string_view key, int defaultValue) {
  const std::string text = ProfileGetString(profile, section, key, "", kProfileIntBuffer);
  if (text.empty()) return defaultValue;
  return ParseProfileInt(text);
}

namespace {

// The digits ParseProfileInt reads: after blanks, a sign and a base prefix,
// up to the first character that is no digit of the base.
struct ProfileDigits {
  bool minus = false;
  unsigned base = 10;
  std::string_view digits;
};

ProfileDigits SplitProfileInt(std::string_view text) {
  ProfileDigits d;
  std::size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    d.minus = text[i] == '-';
    ++i;
  }
  if (text.size() - i >= 2 && text[i] == '0') {
    if (text[i + 1] == 'x') d.base = 16;
    if (text[i + 1] == 'o') d.base = 8;
    if (text[i + 1] == 'b') d.base = 2;
    if (d.base != 10) i += 2;
  }
  std::size_t end = i;
  for (; end < text.size(); ++end) {
    const char c = text[end];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'Z') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'z') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      break;
    }
    if (digit >= d.base) break;
  }
  d.digits = text.substr(i, end - i);
  return d;
}

unsigned DigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A' + 10);
  return static_cast<unsigned>(c - 'a' + 10);
}

}  // namespace

int ParseProfileInt(std::string_view text) {
  const ProfileDigits d = SplitProfileInt(text);
  std::uint32_t total = 0;
  for (char c : d.digits) total = total * d.base + DigitValue(c);
  if (d.minus) total = 0u - total;
  return static_cast<int>(total);
}

bool ProfileIntFits32Bits(std::string_view text) {
  const ProfileDigits d = SplitProfileInt(text);
  std::uint64_t total = 0;
  for (char c : d.digits) {
    total = total * d.base + DigitValue(c);
    if (total > 0xFFFFFFFFull) return false;
  }
  return true;
}

}  // namespace tessarin
