// Saved project folders that outlive the restore that saved them: each
// temporary folder "QV<hex>" that holds a card's "Project" also holds a
// small note naming the card it came from and the mark the restore gave
// that card, so that a later restore of the same card (a retry, a second
// run after a stop, a crash or a power cut) finds it and puts it back
// instead of leaving it forgotten, and a clone of the card never gets it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card/file_port.h"
#include "install/project_folder.h"

namespace tessarin {

// The note's file name, beside "Project" in the temporary folder; the
// saved tree itself stays a plain copy of the card's folder.
inline constexpr const char* kSavedCardNote = kSavedNoteName;

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

// The same card as it was when saved: the same disk signature and
// partition extent; a card without a disk signature must also be in the
// same place. Clones of one image share all of it: this alone never binds
// a saved copy to a card.
bool SameCard(const CardIdentity& saved, const CardIdentity& now);

// What a saved copy holds, everything in its folder but the note: how
// many entries and bytes, and one digest over every entry's name, kind,
// size and contents. A copy that no longer gives the digest its note
// recorded (a power cut before its files reached the disk, a damaged
// disk) is never put back.
struct SavedContents {
  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;
  std::uint64_t digest = 0;

  friend bool operator==(const SavedContents&, const SavedContents&) = default;
};
// The contents of the saved copy in folder as they are now; none when any
// part of it cannot be read.
std::optional<SavedContents> DigestSavedCopy(FilePort& files, const std::string& folder);

// The note: the card as found, the mark this restore gave it, when, and
// the copy's contents. Written last, once the copy is durable: a copy
// without a complete note is no saved copy.
struct SavedCardNote {
  CardIdentity card;       // as found when the copy was made
  std::uint32_t mark = 0;  // the disk signature the card carries since; 0: an older note without one
  std::string savedAt;     // "YYYY-MM-DD HH:MM:SS", local time
  std::optional<SavedContents> contents;
};
std::string FormatSavedCardNote(const SavedCardNote& note);
std::string FormatSavedCardNote(const CardIdentity& card, const std::string& savedAt);
std::optional<SavedCardNote> ParseSavedCardNote(const std::string& text);

// The card carries the copy's mark: this copy is its project.
bool CarriesMark(const SavedCardNote& note, const CardIdentity& card);

// A saved project found where saved copies go.
struct WaitingCopy {
  std::string folder;  // the QV folder
  SavedCardNote note;
};

// Which waiting copy is this card's project (the one whose mark it
// carries), which may be its own but cannot be told from a clone's (saved
// from a card that looked the same), and which wait for other cards.
struct WaitingChoice {
  std::optional<WaitingCopy> thisCard;
  std::vector<WaitingCopy> maybeThisCard;
  std::vector<WaitingCopy> others;
};
WaitingChoice ChooseWaitingCopies(const std::vector<WaitingCopy>& waiting, const CardIdentity& card);

// The saved copies that wait where saved copies go: private folders
// "QV..." with a complete note (whether their "Project" is still whole
// tells WhyCopyUnfit). complete, when given, is false when that place
// itself, or a note of this user's, cannot be read. ignored, when given,
// gets a line for each folder passed over that might have looked like a
// copy (not private, its note unreadable or cut short): none of it is
// trusted.
std::vector<WaitingCopy> FindWaitingCopies(FilePort& files, bool* complete = nullptr,
                                           std::vector<std::string>* ignored = nullptr);

// The saved copy's "Project" folder.
std::string WaitingProject(const WaitingCopy& copy, char separator);

// Why a waiting copy may not be put back now: its note records no
// contents, or the copy no longer gives them. Empty when it may.
std::string WhyCopyUnfit(FilePort& files, const WaitingCopy& copy);

// A card's mark as the note shows it ("1A2B3C4D").
std::string MarkText(std::uint32_t mark);

}  // namespace tessarin
