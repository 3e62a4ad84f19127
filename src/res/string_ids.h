// The names of the string table's entries.
#pragma once

namespace tessarin {

enum StringId : unsigned {
#define TS_STRING(id, name, text) name = id,
#include "res/string_table.def"
#undef TS_STRING
};

}  // namespace tessarin
