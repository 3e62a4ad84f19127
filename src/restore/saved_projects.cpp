#include "restore/saved_projects.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace tessarin {
namespace {

constexpr const char* kNoteHeading = "Tessarin saved this Project folder from a card before restoring the card.";

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::string Hex8(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v));
  return buf;
}

std::optional<std::uint32_t> ParseNumber(const std::string& text, int base) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0 || digit >= base) return std::nullopt;
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
  }
  if (v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(v);
}

}  // namespace

CardIdentity IdentifyCard(const std::uint8_t* mbr, const std::uint8_t* vbr, const std::string& location) {
  CardIdentity id;
  id.location = location;
  id.diskSignature = Le32(mbr + 440);
  id.partitionStart = Le32(mbr + 446 + 8);
  id.partitionSectors = Le32(mbr + 446 + 12);
  if (vbr[510] == 0x55 && vbr[511] == 0xAA) {
    // FAT32 keeps its extended fields after the 32-bit FAT size; FAT12 and
    // FAT16 (a non-zero 16-bit FAT size) right after the BPB.
    const bool fat32 = vbr[22] == 0 && vbr[23] == 0;
    const std::size_t at = fat32 ? 67 : 39;
    id.volumeSerial = Le32(vbr + at);
    std::string label(reinterpret_cast<const char*>(vbr + at + 4), 11);
    while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) label.pop_back();
    for (char& c : label)
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    id.volumeLabel = label;
  }
  return id;
}

bool SameCard(const CardIdentity& saved, const CardIdentity& now) {
  if (saved.diskSignature != now.diskSignature || saved.partitionStart != now.partitionStart ||
      saved.partitionSectors != now.partitionSectors)
    return false;
  // Without a signature any two cards partitioned alike would pass.
  return saved.diskSignature != 0 || saved.location == now.location;
}

std::string FormatSavedCardNote(const CardIdentity& card, const std::string& savedAt) {
  std::string text = std::string(kNoteHeading) + "\r\n";
  text += "DiskSignature=" + Hex8(card.diskSignature) + "\r\n";
  text += "PartitionStart=" + std::to_string(card.partitionStart) + "\r\n";
  text += "PartitionSectors=" + std::to_string(card.partitionSectors) + "\r\n";
  const std::string serial = Hex8(card.volumeSerial);
  text += "VolumeSerial=" + serial.substr(0, 4) + "-" + serial.substr(4) + "\r\n";
  text += "VolumeLabel=" + card.volumeLabel + "\r\n";
  text += "Location=" + card.location + "\r\n";
  text += "Saved=" + savedAt + "\r\n";
  return text;
}

std::optional<SavedCardNote> ParseSavedCardNote(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line != kNoteHeading) return std::nullopt;
  SavedCardNote note;
  bool signature = false, start = false, sectors = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "DiskSignature") {
      const auto v = ParseNumber(value, 16);
      if (!v) return std::nullopt;
      note.card.diskSignature = *v;
      signature = true;
    } else if (key == "PartitionStart") {
      const auto v = ParseNumber(value, 10);
      if (!v) return std::nullopt;
      note.card.partitionStart = *v;
      start = true;
    } else if (key == "PartitionSectors") {
      const auto v = ParseNumber(value, 10);
      if (!v) return std::nullopt;
      note.card.partitionSectors = *v;
      sectors = true;
    } else if (key == "VolumeSerial") {
      std::string digits = value;
      digits.erase(std::remove(digits.begin(), digits.end(), '-'), digits.end());
      note.card.volumeSerial = ParseNumber(digits, 16).value_or(0);
    } else if (key == "VolumeLabel") {
      note.card.volumeLabel = value;
    } else if (key == "Location") {
      note.card.location = value;
    } else if (key == "Saved") {
      note.savedAt = value;
    }
  }
  if (!signature || !start || !sectors) return std::nullopt;
  return note;
}

WaitingChoice ChooseWaitingCopies(const std::vector<WaitingCopy>& waiting, const CardIdentity& card) {
  // The newest is the card's project as it last was ("YYYY-MM-DD HH:MM:SS"
  // sorts as text); the older ones, and other cards' copies, still wait.
  std::optional<std::size_t> newest;
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    if (SameCard(waiting[i].note.card, card) && (!newest || waiting[i].note.savedAt > waiting[*newest].note.savedAt))
      newest = i;
  }
  WaitingChoice choice;
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    if (newest && i == *newest)
      choice.thisCard = waiting[i];
    else
      choice.others.push_back(waiting[i]);
  }
  return choice;
}

std::vector<WaitingCopy> FindWaitingCopies(FilePort& files, bool* complete) {
  std::vector<WaitingCopy> waiting;
  auto incomplete = [complete] {
    if (complete != nullptr) *complete = false;
  };
  if (complete != nullptr) *complete = true;
  const std::optional<std::string> temp = files.TempPath();
  if (!temp) {
    incomplete();
    return waiting;
  }
  const auto folders = files.ListFolders(*temp, "QV");
  if (!folders) {
    incomplete();
    return waiting;
  }
  std::string base = *temp;
  if (!base.empty() && base.back() != files.Separator()) base += files.Separator();
  for (const std::string& name : *folders) {
    WaitingCopy copy;
    copy.folder = base + name;
    constexpr std::size_t kMaxNote = 4096;
    const std::string notePath = copy.folder + files.Separator() + kSavedCardNote;
    const auto text = files.ReadTextFile(notePath, kMaxNote);
    if (!text) {
      // No note: a folder of something else. A note that is there but
      // cannot be read may be a card's.
      if (files.Probe(notePath) != PathPresence::Absent) incomplete();
      continue;
    }
    const auto note = ParseSavedCardNote(*text);
    if (!note) continue;
    const PathPresence project = files.Probe(WaitingProject(copy, files.Separator()));
    if (project == PathPresence::Unreadable) incomplete();
    if (project != PathPresence::Present) continue;
    copy.note = *note;
    waiting.push_back(std::move(copy));
  }
  return waiting;
}

std::string WaitingProject(const WaitingCopy& copy, char separator) { return copy.folder + separator + "Project"; }

}  // namespace tessarin
