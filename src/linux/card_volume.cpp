#include "linux/card_volume.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "card/card_types.h"
#include "linux/card_names.h"

namespace tessarin::linux_port {
namespace {

std::string Trim(const std::string& s) {
  const std::size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The byte offset of the n-th character of a UTF-8 text (its length when
// the text has exactly n characters), or npos when it is shorter.
std::size_t CharOffset(const std::string& text, std::size_t n) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;  // inside a character
    if (chars == n) return i;
    ++chars;
  }
  return chars == n ? text.size() : std::string::npos;
}

}  // namespace

CardVolume::CardVolume(const CardTarget& target, char letter, const std::string& privateDir)
    : target_(target), letter_(ToLowerAscii(letter)), config_(privateDir + "/mtoolsrc") {
  fd_ = open(target.path.c_str(), O_RDWR | O_NOCTTY);
  if (fd_ < 0) fd_ = open(target.path.c_str(), O_RDONLY | O_NOCTTY);
  if (fd_ < 0) throw std::runtime_error(target.path + ": " + std::strerror(errno));
  std::ofstream out(config_);
  out << "mtools_skip_check=1\n"
      << "drive " << letter_ << ": file=\"/proc/self/fd/" << fd_ << "\" offset=" << target.VolumeOffset() << "\n";
  if (!out) throw std::runtime_error("cannot write " + config_);
}

CardVolume::~CardVolume() {
  if (fd_ >= 0) close(fd_);
}

namespace {

std::uint16_t Get16(const std::uint8_t* p, std::size_t at) {
  return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}

bool LooksLikeFatBootSector(const std::uint8_t* b) {
  if (b[510] != 0x55 || b[511] != 0xAA) return false;
  if (b[0] != 0xEB && b[0] != 0xE9) return false;
  const unsigned bytesPerSector = Get16(b, 11);
  const unsigned perCluster = b[13];
  return (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096) &&
         perCluster != 0 && (perCluster & (perCluster - 1)) == 0 && Get16(b, 14) != 0 && b[16] != 0 &&
         (b[21] == 0xF0 || b[21] >= 0xF8);
}

bool AllZero(const std::uint8_t* b) {
  return std::all_of(b, b + 512, [](std::uint8_t v) { return v == 0; });
}

}  // namespace

VolumeStart ClassifyVolumeStart(const std::uint8_t* bootSector, const std::uint8_t* backupBootSector) {
  if (LooksLikeFatBootSector(bootSector)) return VolumeStart::Fat;
  if (AllZero(bootSector) && AllZero(backupBootSector)) return VolumeStart::Blank;
  return VolumeStart::Unreadable;
}

bool ListingHoldsEntry(const std::string& listing, const std::string& name) {
  const std::string wanted = FoldCardName(name);
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.back() == '/') line.pop_back();
    // "e:/folder/NAME": the entry's name after the last separator.
    const std::size_t slash = line.find_last_of('/');
    if (slash == std::string::npos) continue;
    if (FoldCardName(line.substr(slash + 1)) == wanted) return true;
  }
  return false;
}

PathPresence CardVolume::Probe(const std::string& cardPath, std::string* why) const {
  auto unreadable = [why](std::string text) {
    if (why != nullptr) *why = std::move(text);
    return PathPresence::Unreadable;
  };
  std::uint8_t boot[512], backup[512];
  errno = 0;
  if (pread(fd_, boot, sizeof boot, static_cast<off_t>(target_.VolumeOffset())) != sizeof boot ||
      pread(fd_, backup, sizeof backup, static_cast<off_t>(target_.VolumeOffset() + 6 * 512)) != sizeof backup)
    return unreadable(std::string("its first partition cannot be read: ") + std::strerror(errno != 0 ? errno : EIO));
  switch (ClassifyVolumeStart(boot, backup)) {
    case VolumeStart::Blank:
      return PathPresence::Absent;  // never formatted: no files at all
    case VolumeStart::Unreadable:
      return unreadable("its first partition holds no readable FAT boot sector");
    case VolumeStart::Fat:
      break;
  }
  std::string path = cardPath;
  for (char& c : path)
    if (c == '\\') c = '/';
  while (path.size() > 3 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash + 1 >= path.size()) return PathPresence::Present;  // the root
  const std::string parent = path.substr(0, slash + 1);
  const ProcessResult r = Run({"mdir", "-a", "-b", LiteralCardPath(parent)});
  if (!r.started) return unreadable(std::string("mdir cannot be run: ") + std::strerror(r.error));
  if (!r.ok()) {
    // A folder that is not there cannot be listed either.
    if (parent.size() > 3) {
      const PathPresence above = Probe(parent, why);
      if (above != PathPresence::Present) return above;
    }
    const std::string line = FirstLine(r.errors);
    return unreadable("its files cannot be read" + (line.empty() ? std::string() : ": " + line));
  }
  return ListingHoldsEntry(r.output, path.substr(slash + 1)) ? PathPresence::Present : PathPresence::Absent;
}

bool CardVolume::IsCardPath(const std::string& path) const {
  return path.size() >= 2 && ToLowerAscii(path[0]) == letter_ && path[1] == ':' &&
         (path.size() == 2 || path[2] == '/' || path[2] == '\\');
}

namespace {

ProcessOptions MtoolsOptions(const std::string& config) {
  ProcessOptions options;
  // The tools' own words and number formats whatever the operator's locale,
  // and names in UTF-8 both ways: in plain "C" mtools turns every letter
  // beyond ASCII in a long name into '_', and a project file "Übersicht"
  // would come back renamed.
  options.environment = {{"MTOOLSRC", config}, {"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}};
  return options;
}

}  // namespace

ProcessResult CardVolume::Run(std::vector<std::string> argv) const { return RunProcess(argv, MtoolsOptions(config_)); }

ProcessResult CardVolume::Copy(std::vector<std::string> arguments,
                               std::function<void(const std::string&)> onFile) const {
  ProcessOptions options = MtoolsOptions(config_);
  std::vector<std::string> argv{"mcopy", "-s", "-o", "-m", "-Q"};
  if (onFile) {
    argv.push_back("-v");
    options.progressPrefix = "Copying ";
    options.onProgress = std::move(onFile);
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProcess(argv, options);
}

std::optional<std::vector<TreeEntry>> CardVolume::ListTree(const std::string& root) const {
  const ProcessResult r = Run({"mdir", "-/", "-a", LiteralCardPath(root)});
  if (!r.ok()) return std::nullopt;
  return ParseRecursiveListing(r.output);
}

std::optional<std::vector<EntryAttributes>> CardVolume::ListAttributes(const std::string& root) const {
  const ProcessResult r = Run({"mattrib", "-/", LiteralCardPath(root)});
  if (!r.ok()) return std::nullopt;
  return ParseAttributeListing(r.output);
}

std::string LiteralCardPath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '\\') c = '/';
    if (c == '*' || c == '?' || c == '[' || c == ']') out += '\\';
    out += c;
  }
  return out;
}

std::vector<EntryAttributes> ParseAttributeListing(const std::string& listing) {
  // "  A  SHR     E:/Project/file": the letters in fixed columns (archive,
  // system, hidden, read-only), the path from column 13.
  constexpr std::size_t kPathColumn = 13;
  std::vector<EntryAttributes> entries;
  std::istringstream lines(listing);
  std::string root;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() <= kPathColumn) continue;
    const std::string path = line.substr(kPathColumn);
    if (root.empty()) {
      root = path;  // the folder listed comes first
      continue;
    }
    if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/') continue;
    EntryAttributes e;
    e.path = path.substr(root.size() + 1);
    if (line[2] == 'A') e.attributes |= kAttrArchive;
    if (line[5] == 'S') e.attributes |= kAttrSystem;
    if (line[6] == 'H') e.attributes |= kAttrHidden;
    if (line[7] == 'R') e.attributes |= kAttrReadOnly;
    entries.push_back(std::move(e));
  }
  return entries;
}

std::vector<TreeEntry> ParseRecursiveListing(const std::string& listing) {
  // Each folder starts with "Directory for E:/Project/sub"; an entry line
  // holds the short name (8 + blank + 3), the size or <DIR>, the date, the
  // time and, when there is one, two blanks and the long name.
  std::vector<TreeEntry> entries;
  std::istringstream lines(listing);
  std::size_t rootLength = std::string::npos;
  std::string folder;
  bool inRootFolder = true;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("Directory for ", 0) == 0) {
      const std::string dir = line.substr(14);
      if (rootLength == std::string::npos) rootLength = dir.size();
      folder = dir.size() > rootLength ? dir.substr(rootLength + (dir[rootLength] == '/' ? 1 : 0)) : std::string();
      inRootFolder = folder.empty();
      continue;
    }
    // The columns count characters: a short name such as "ÜBERSI~1" takes
    // more bytes than columns in UTF-8.
    const std::size_t at8 = CharOffset(line, 8), at9 = CharOffset(line, 9), at12 = CharOffset(line, 12);
    if (rootLength == std::string::npos || at12 == std::string::npos || at12 == line.size() || line[0] == ' ' ||
        line[at8] != ' ')
      continue;
    const std::string rest = line.substr(at12);
    std::istringstream fields(rest);
    std::string sizeText, date, time;
    if (!(fields >> sizeText >> date >> time)) continue;
    const std::string shortName = Trim(line.substr(0, at8));
    const std::string ext = Trim(line.substr(at9, at12 - at9));
    if (ext.empty() && (shortName == "." || shortName == "..")) continue;

    std::string name = ext.empty() ? shortName : shortName + "." + ext;
    const std::size_t dateAt = rest.find(date, rest.find(sizeText) + sizeText.size());
    const std::size_t timeAt = dateAt == std::string::npos ? dateAt : rest.find(time, dateAt + date.size());
    if (timeAt != std::string::npos) {
      const std::size_t afterTime = timeAt + time.size();
      if (afterTime + 2 < rest.size() && rest.compare(afterTime, 2, "  ") == 0) name = rest.substr(afterTime + 2);
    }
    TreeEntry e;
    e.path = inRootFolder ? name : folder + "/" + name;
    e.directory = sizeText == "<DIR>";
    if (!e.directory) {
      if (sizeText.find_first_not_of("0123456789") != std::string::npos) continue;
      e.size = std::stoull(sizeText);
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

}  // namespace tessarin::linux_port
