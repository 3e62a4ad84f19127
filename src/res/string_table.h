// The string table compiled into the program, for platforms without
// resources of their own and for the tests.
#pragma once

#include <span>
#include <string>

namespace tessarin {

struct StringEntry {
  unsigned id;
  const char* name;
  const char* text;
};

// Every entry, in increasing order of ID.
std::span<const StringEntry> StringTable();

// The text of an ID; empty when the table has none.
std::string TableString(unsigned id);

}  // namespace tessarin
