#include "restore/saved_projects.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "card/card_types.h"
#include "card/content_digest.h"
#include "install/project_folder.h"

namespace tessarin {
namespace {

constexpr const char* kNoteHeading = "Tessarin saved this Project folder from a card before restoring the card.";
constexpr const char* kNoteEnd = "End of note.";

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::string Hex8(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v));
  return buf;
}

std::optional<std::uint64_t> ParseWide(const std::string& text, int base) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0 || digit >= base) return std::nullopt;
    const auto b = static_cast<std::uint64_t>(base);
    if (v > (~std::uint64_t{0} - static_cast<unsigned>(digit)) / b) return std::nullopt;
    v = v * b + static_cast<unsigned>(digit);
  }
  return v;
}

std::optional<std::uint32_t> ParseNumber(const std::string& text, int base) {
  const auto v = text.size() <= 10 ? ParseWide(text, base) : std::nullopt;
  if (!v || *v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
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

bool CarriesMark(const SavedCardNote& note, const CardIdentity& card) {
  return note.mark != 0 && note.mark == card.diskSignature && note.card.partitionStart == card.partitionStart &&
         note.card.partitionSectors == card.partitionSectors;
}

std::string MarkText(std::uint32_t mark) { return Hex8(mark); }

std::optional<SavedContents> DigestSavedCopy(FilePort& files, const std::string& folder) {
  const char sep = files.Separator();
  const auto tree = files.ListTree(folder);
  if (!tree) return std::nullopt;
  // The copy is the project folder and the list of its names; the note and
  // whatever its writing left beside it are not.
  const std::string project = kProjectFolderName;
  const std::string names = project + ".names";
  std::vector<TreeEntry> entries;
  auto folded = [](std::string text) {
    for (char& c : text) c = ToLowerAscii(c);
    return text;
  };
  for (TreeEntry e : *tree) {
    std::replace(e.path.begin(), e.path.end(), sep, '/');
    const std::string first = folded(e.path.substr(0, e.path.find('/')));
    if (first == folded(project) || first == folded(names)) entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(), [](const TreeEntry& a, const TreeEntry& b) { return a.path < b.path; });
  SavedContents contents;
  ContentDigest all;
  for (const TreeEntry& e : entries) {
    std::uint8_t record[17] = {};
    record[0] = e.directory ? 'D' : 'F';
    std::uint64_t size = 0, digest = 0;
    if (!e.directory) {
      ContentDigest file;
      std::string local = e.path;
      std::replace(local.begin(), local.end(), '/', sep);
      if (!files.ReadFile(folder + sep + local, [&](const std::uint8_t* bytes, std::size_t n) { file.Add(bytes, n); }))
        return std::nullopt;
      size = file.length();
      digest = file.Value();
      contents.bytes += size;
    }
    for (int i = 0; i < 8; ++i) {
      record[1 + i] = static_cast<std::uint8_t>(size >> (8 * i));
      record[9 + i] = static_cast<std::uint8_t>(digest >> (8 * i));
    }
    all.Add(reinterpret_cast<const std::uint8_t*>(e.path.c_str()), e.path.size() + 1);
    all.Add(record, sizeof record);
    ++contents.entries;
  }
  contents.digest = all.Value();
  return contents;
}

std::string FormatSavedCardNote(const CardIdentity& card, const std::string& savedAt) {
  SavedCardNote note;
  note.card = card;
  note.savedAt = savedAt;
  return FormatSavedCardNote(note);
}

std::string FormatSavedCardNote(const SavedCardNote& note) {
  const CardIdentity& card = note.card;
  std::string text = std::string(kNoteHeading) + "\r\n";
  text += "DiskSignature=" + Hex8(card.diskSignature) + "\r\n";
  text += "PartitionStart=" + std::to_string(card.partitionStart) + "\r\n";
  text += "PartitionSectors=" + std::to_string(card.partitionSectors) + "\r\n";
  const std::string serial = Hex8(card.volumeSerial);
  text += "VolumeSerial=" + serial.substr(0, 4) + "-" + serial.substr(4) + "\r\n";
  text += "VolumeLabel=" + card.volumeLabel + "\r\n";
  text += "Location=" + card.location + "\r\n";
  text += "Saved=" + note.savedAt + "\r\n";
  if (note.mark != 0) text += "Mark=" + Hex8(note.mark) + "\r\n";
  if (note.contents) {
    char digest[20];
    std::snprintf(digest, sizeof digest, "%016llX", static_cast<unsigned long long>(note.contents->digest));
    text += "Entries=" + std::to_string(note.contents->entries) + "\r\n";
    text += "Bytes=" + std::to_string(note.contents->bytes) + "\r\n";
    text += "Digest=" + std::string(digest) + "\r\n";
  }
  // The last line: a note cut short by a power cut is no note.
  text += std::string(kNoteEnd) + "\r\n";
  return text;
}

std::optional<SavedCardNote> ParseSavedCardNote(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line != kNoteHeading) return std::nullopt;
  SavedCardNote note;
  bool signature = false, start = false, sectors = false, ended = false;
  std::optional<std::uint64_t> entries, bytes, digest;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == kNoteEnd) {
      ended = true;
      continue;
    }
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
    } else if (key == "Mark") {
      const auto v = ParseNumber(value, 16);
      if (!v) return std::nullopt;
      note.mark = *v;
    } else if (key == "Entries") {
      entries = ParseWide(value, 10);
    } else if (key == "Bytes") {
      bytes = ParseWide(value, 10);
    } else if (key == "Digest") {
      digest = ParseWide(value, 16);
    }
  }
  if (!signature || !start || !sectors) return std::nullopt;
  // A note of this version is complete only with its last line; its
  // contents only with all three figures.
  if (note.mark != 0 && !ended) return std::nullopt;
  if (entries && bytes && digest) note.contents = SavedContents{*entries, *bytes, *digest};
  return note;
}

WaitingChoice ChooseWaitingCopies(const std::vector<WaitingCopy>& waiting, const CardIdentity& card) {
  // The card's mark names its copy; should two carry it, the newest
  // ("YYYY-MM-DD HH:MM:SS" sorts as text) is the card's project as it
  // last was.
  std::optional<std::size_t> marked;
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    if (CarriesMark(waiting[i].note, card) && (!marked || waiting[i].note.savedAt > waiting[*marked].note.savedAt))
      marked = i;
  }
  WaitingChoice choice;
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    if (marked && i == *marked) {
      choice.thisCard = waiting[i];
    } else if (SameCard(waiting[i].note.card, card) || CarriesMark(waiting[i].note, card)) {
      choice.maybeThisCard.push_back(waiting[i]);
    } else {
      choice.others.push_back(waiting[i]);
    }
  }
  return choice;
}

std::string WhyCopyUnfit(FilePort& files, const WaitingCopy& copy) {
  if (!copy.note.contents) return "its note records no digest of its contents (saved by an older version)";
  const auto now = DigestSavedCopy(files, copy.folder);
  if (!now) return "it cannot be read completely";
  if (*now != *copy.note.contents)
    return "it no longer holds what was saved (" + std::to_string(now->entries) + " entries and " +
           std::to_string(now->bytes) + " bytes instead of " + std::to_string(copy.note.contents->entries) + " and " +
           std::to_string(copy.note.contents->bytes) + ", or other contents)";
  return {};
}

std::vector<WaitingCopy> FindWaitingCopies(FilePort& files, bool* complete, std::vector<std::string>* ignored) {
  std::vector<WaitingCopy> waiting;
  if (complete != nullptr) *complete = true;
  auto pass = [ignored](const std::string& folder, const std::string& why) {
    if (ignored != nullptr) ignored->push_back(folder + ": " + why);
  };
  const std::optional<std::string> temp = files.TempPath();
  const auto folders = temp ? files.ListFolders(*temp, "QV") : std::nullopt;
  if (!folders) {
    if (complete != nullptr) *complete = false;
    return waiting;
  }
  std::string base = *temp;
  if (!base.empty() && base.back() != files.Separator()) base += files.Separator();
  for (const std::string& name : *folders) {
    WaitingCopy copy;
    copy.folder = base + name;
    const std::string notePath = copy.folder + files.Separator() + kSavedCardNote;
    // Only a folder of this user's, that nobody else could have written
    // to, is read at all: another user may plant anything in a shared
    // temporary directory.
    std::string why;
    if (!files.IsPrivateFolder(copy.folder, &why)) {
      if (files.Probe(notePath) != PathPresence::Absent) pass(copy.folder, why + "; not trusted as a saved copy");
      continue;
    }
    constexpr std::size_t kMaxNote = 4096;
    const auto text = files.ReadTextFile(notePath, kMaxNote);
    if (!text) {
      // No note: a copy whose saving never finished, or a folder of
      // something else. One of this user's that is there but cannot be
      // read may be the copy a card waits for.
      if (files.Probe(notePath) != PathPresence::Absent) {
        pass(copy.folder, "its note cannot be read");
        if (complete != nullptr) *complete = false;
      }
      continue;
    }
    // A note cut short: its copy never got as far as marking a card.
    const auto note = ParseSavedCardNote(*text);
    if (!note) {
      pass(copy.folder, "its note is incomplete");
      continue;
    }
    // Listed even when its "Project" is gone or cannot be read: a card
    // that carries its mark must not be taken for one without a copy.
    copy.note = *note;
    waiting.push_back(std::move(copy));
  }
  return waiting;
}

std::string WaitingProject(const WaitingCopy& copy, char separator) {
  return copy.folder + separator + kProjectFolderName;
}

}  // namespace tessarin
