#include "res/string_table.h"

namespace tessarin {
namespace {

constexpr StringEntry kStrings[] = {
#define TS_STRING(id, name, text) {id, #name, text},
#include "res/string_table.def"
#undef TS_STRING
};

}  // namespace

std::span<const StringEntry> StringTable() { return kStrings; }

std::string TableString(unsigned id) {
  for (const StringEntry& e : kStrings) {
    if (e.id == id) return e.text;
  }
  return {};
}

}  // namespace tessarin
