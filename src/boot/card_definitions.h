// The card definition file: recommended card types with their capacity and
// drive geometry, and the rule that matches a card to one of them.
#pragma once

#include <list>
#include <optional>
#include <string>
#include <vector>

#include "boot/compose.h"
#include "card/file_port.h"
#include "card/profile_port.h"
#include "card/resource_port.h"

namespace tessarin {

struct CF_DEFINITION {
  std::string strModelNumber;
  double dCapacity = 0;
  int nSectorsPerCard = 0;
  int nHeads = 0;
  int nSectorsPerTrack = 0;
  int nCylinders = 0;
};

template <typename T>
using CList = std::list<T>;

// A card matches a definition whose capacity plus this share reaches it.
inline constexpr double kCapacityTolerance = 0.1;

// Where the card definitions come from: the file in the working directory
// (its name and key names from the string table), read with the profile
// functions.
struct CardDefinitionSource {
  FilePort& files;
  ProfilePort& profile;
  ResourcePort& resources;
  // Read when the working directory holds no definition file: the sample an
  // installed program carries. Empty for the working directory alone.
  std::string fallbackFile = {};
};

// The definition file that is read: "CFDef.ini" in the current directory,
// else the fallback file; empty when neither can be opened.
std::string CardDefinitionsFile(const CardDefinitionSource& source);

// Reads CF0, CF1, ... from the definition file until a section is
// incomplete. -1 when the file could be opened, however many definitions
// it gave; otherwise the string ID of the message to show.
int LoadCardDefinitions(const CardDefinitionSource& source, CList<CF_DEFINITION>& definitions);

// The first definition that fits the capacity, or none.
std::optional<CF_DEFINITION> FindCardDefinition(const CList<CF_DEFINITION>& definitions, double capacity);

// A definition whose geometry a boot sector can carry (1 to 255 heads, 1
// to 63 sectors per track) and whose capacity is a size at all. Any other
// matches no card: its numbers are never written into a boot sector.
bool IsUsableDefinition(const CF_DEFINITION& definition);

// Index of the first usable record at or after start that fits, or -1.
int MatchCardDefinition(const CF_DEFINITION* records, double capacity, int start, int count);

// The geometry a definition gives a repaired boot sector: the low 16 bits
// of its heads and sectors per track.
DriveGeometry DefinitionGeometry(const CF_DEFINITION& definition);

}  // namespace tessarin
