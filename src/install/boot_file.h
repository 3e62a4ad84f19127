// Whether the volume boot sector will find the file it starts. Its code
// knows no file system: it looks for the name only in the first entries of
// the root folder, and the BLDR loader reads the file's sectors in a row
// without following the FAT chain. An installer that puts the file further
// down the folder, or in scattered clusters, leaves a card that stops at
// "Cannot load BLDR!" although every file is there.
//
// The check reads what that code reads: the volume's boot sector, the
// searched part of the root folder, and the FAT entries of the clusters
// the loader reads in a row.
#pragma once

#include <cstdint>
#include <functional>

#include "card/system_kinds.h"

namespace tessarin {

enum class BootFileFinding {
  Reachable,    // the code finds the file and reads only its own sectors
  NotSearched,  // not among the entries the code searches, or no file there
  Scattered,    // found, but the sectors read in a row are not all its own
  Unreadable,   // the volume could not be read, or is no FAT volume
};

// Reads sector N of the volume (512 bytes, counted from the volume's first
// sector); false when it cannot.
using VolumeSectorReader = std::function<bool(std::uint64_t sector, std::uint8_t* bytes)>;

// What the boot code of the rule would meet on the volume. A rule without
// a search has nothing to find and is always reachable.
BootFileFinding FindBootFile(const BootFileRule& rule, const VolumeSectorReader& read);

}  // namespace tessarin
