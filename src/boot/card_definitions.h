// The card definition file: recommended card types with their capacity and
// drive geometry, and the rule that matches a card to one of them.
#pragma once

#include <list>
#include <optional>
#include <string>
#include <vector>

#include "restore/restore_context.h"

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

// Reads CF0, CF1, ... from "CFDef.ini" in the current directory until a
// section is incomplete. -1 when the file could be opened, however many
// definitions it gave; otherwise the string ID of the message to show.
int LoadCardDefinitions(Ports& ports, CList<CF_DEFINITION>& definitions);

// The first definition that fits the capacity, or none.
std::optional<CF_DEFINITION> FindCardDefinition(const CList<CF_DEFINITION>& definitions, double capacity);

// Index of the first record at or after start that fits, or -1.
int MatchCardDefinition(const CF_DEFINITION* records, double capacity, int start, int count);

}  // namespace tessarin
