// The names of the string table's entries.
#pragma once

namespace tessarin {

enum StringId : unsigned {
#define TS_STRING(id, name, text) name = (id),  // NOLINT(bugprone-macro-parentheses): declares a name
#include "res/string_table.def"
#undef TS_STRING
};

}  // namespace tessarin
