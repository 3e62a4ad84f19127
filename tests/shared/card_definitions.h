// Card definition files: sections CF0, CF1, ... of a card's model, its
// capacity and the geometry its boot sector records, as the suites write
// them for the restores they run.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tessarin::test {

inline constexpr char kDefinitionsFileName[] = "CFDef.ini";

// One section's values as the file spells them: any text, so that values
// out of range or not numbers at all can be written too.
struct CardDefinitionText {
  std::string model;
  std::string capacity;
  std::string sectorsPerCard;
  std::string heads;
  std::string sectorsPerTrack;
  std::optional<std::string> cylinders;  // none: the section lacks the key
};

// Section CF<index>, each line ended by lineEnd.
inline std::string DefinitionSection(int index, const CardDefinitionText& d, const std::string& lineEnd = "\r\n") {
  std::string s = "[CF" + std::to_string(index) + "]" + lineEnd + "ModelNumber=" + d.model + lineEnd +
                  "Capacity=" + d.capacity + lineEnd + "SectorsPerCard=" + d.sectorsPerCard + lineEnd +
                  "NoHeads=" + d.heads + lineEnd + "NoSectorsPerTrack=" + d.sectorsPerTrack + lineEnd;
  if (d.cylinders) s += "NoCylinders=" + *d.cylinders + lineEnd;
  return s;
}

// A whole file: the definitions as sections CF0, CF1, ... in order.
inline std::string DefinitionsText(const std::vector<CardDefinitionText>& definitions,
                                   const std::string& lineEnd = "\r\n") {
  std::string text;
  for (std::size_t i = 0; i < definitions.size(); ++i)
    text += DefinitionSection(static_cast<int>(i), definitions[i], lineEnd);
  return text;
}

// The 1 GB card of the restore suites: a reader that reports 255 heads
// makes its boot sector take this geometry.
inline const CardDefinitionText kOneGigabyteCard{"SD-1G", "1000000000", "1953125", "32", "63", "968"};

}  // namespace tessarin::test
