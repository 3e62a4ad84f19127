// Saved project folders that outlive the restore that saved them: each
// temporary folder "QV<hex>" that holds a card's "Project" also holds a
// small note naming the card it came from, so that a later restore of the
// same card (a retry, a second run after a stop or a crash) finds it and
// puts it back instead of leaving it forgotten in the temporary directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card/file_port.h"

namespace tessarin {

// The note's file name, beside "Project" in the temporary folder; the
// saved tree itself stays a plain copy of the card's folder.
inline constexpr const char* kSavedCardNote = "Card.txt";

// What tells one card from another across a restore. Formatting changes
// the volume's serial number and label; the MBR's disk signature and the
// first partition's extent stay (neither FORMAT, mkfs.fat nor the master
// boot record step touches them).
struct CardIdentity {
  std::uint32_t diskSignature = 0;
  std::uint32_t partitionStart = 0;
  std::uint32_t partitionSectors = 0;
  std::uint32_t volumeSerial = 0;  // when saved; for the operator's eyes
  std::string volumeLabel;         // likewise
  std::string location;            // the drive ("E:") or the card's path

  friend bool operator==(const CardIdentity&, const CardIdentity&) = default;
};

// The identity from the card's first sector and its volume's first sector.
CardIdentity IdentifyCard(const std::uint8_t* mbr, const std::uint8_t* volumeBootSector, const std::string& location);

// The same card: the same disk signature and partition extent; a card
// without a disk signature must also be in the same place.
bool SameCard(const CardIdentity& saved, const CardIdentity& now);

// The note's text and its reading back; none for a text that is no note.
std::string FormatSavedCardNote(const CardIdentity& card, const std::string& savedAt);
struct SavedCardNote {
  CardIdentity card;
  std::string savedAt;  // "YYYY-MM-DD HH:MM:SS", local time
};
std::optional<SavedCardNote> ParseSavedCardNote(const std::string& text);

// A saved project found in the temporary directory.
struct WaitingCopy {
  std::string folder;  // the QV folder
  SavedCardNote note;
};

// Which waiting copy is this card's project (the newest saved from it) and
// which others still wait.
struct WaitingChoice {
  std::optional<WaitingCopy> thisCard;
  std::vector<WaitingCopy> others;
};
WaitingChoice ChooseWaitingCopies(const std::vector<WaitingCopy>& waiting, const CardIdentity& card);

// The saved copies that wait in the temporary directory: folders "QV..."
// that hold a "Project" folder and a note. Folders without a note are left
// alone. complete, when given, is false when the search could not look
// everywhere: the temporary directory, a note or a saved folder that is
// there but cannot be read may hide a copy.
std::vector<WaitingCopy> FindWaitingCopies(FilePort& files, bool* complete = nullptr);

// The saved copy's "Project" folder.
std::string WaitingProject(const WaitingCopy& copy, char separator);

}  // namespace tessarin
