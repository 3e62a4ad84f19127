#include "linux/card_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "card/card_types.h"
#include "linux/card_proof.h"
#include "linux/counted_bytes.h"

namespace fs = std::filesystem;

namespace tessarin::linux_port {
namespace {

// How many files left behind the log names one by one; the rest are
// counted.
constexpr std::size_t kNamedInLog = 100;

std::string WithoutTrailingSeparators(std::string p) {
  while (p.size() > 3 && (p.back() == '/' || p.back() == '\\')) p.pop_back();
  return p;
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder + "/" + name;
}

class FileSource final : public fat::ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {}
  Chunk Read(std::uint8_t* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = read(fd_, buffer, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return {0, Failure::Errno(FailureKind::Read, errno)};
      return {static_cast<std::size_t>(n), {}};
    }
  }

 private:
  int fd_;
};

class FileSink final : public fat::ByteSink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  Failure Write(const std::uint8_t* bytes, std::size_t size) override {
    while (size > 0) {
      const ssize_t n = write(fd_, bytes, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Failure::Errno(FailureKind::Write, n < 0 ? errno : ENOSPC);
      bytes += n;
      size -= static_cast<std::size_t>(n);
    }
    return {};
  }

 private:
  int fd_;
};

bool ReadWholeFile(const std::string& path, std::string& text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return n == 0;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
}

bool WriteWholeFile(const std::string& path, const std::string& text, int& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = errno;
    return false;
  }
  const Failure written = FileSink(fd).Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  const bool closed = close(fd) == 0;
  error = written ? static_cast<int>(written.code) : errno;
  return !written && closed;
}

// A fault of the card itself, after which nothing more is tried.
bool CardFailed(const fat::Status& s) {
  return s.fault == fat::Fault::ReadFailed || s.fault == fat::Fault::WriteFailed || s.fault == fat::Fault::Damaged;
}

}  // namespace

std::string NamesFileOf(const std::string& savedFolder) { return WithoutTrailingSeparators(savedFolder) + ".names"; }

std::string FormatNames(const std::map<std::string, CardNames>& names) {
  std::string text =
      "# The short names and card attributes of the saved folder's entries, for the copy back to the card.\n";
  char attributes[8];
  for (const auto& [path, n] : names) {
    std::snprintf(attributes, sizeof attributes, "%02X", n.attributes);
    text += n.shortName + "\t" + attributes + "\t" + path + "\n";
  }
  return text;
}

std::map<std::string, CardNames> ParseNames(const std::string& text) {
  std::map<std::string, CardNames> names;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t tab1 = line.find('\t');
    const std::size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos || tab2 + 1 >= line.size()) continue;
    CardNames n;
    n.shortName = line.substr(0, tab1);
    char* end = nullptr;
    const std::string hex = line.substr(tab1 + 1, tab2 - tab1 - 1);
    const unsigned long attributes = std::strtoul(hex.c_str(), &end, 16);
    if (hex.empty() || *end != '\0' || attributes > 0xFF) continue;
    n.attributes = static_cast<std::uint8_t>(attributes);
    names[line.substr(tab2 + 1)] = n;
  }
  return names;
}

bool CardFiles::Exists(const std::string& path) {
  Forget();
  if (!card_.IsCardPath(path)) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
  }
  const CardSession s = card_.Open(false);
  // A card that was never formatted holds nothing.
  if (s.status.fault == fat::Fault::Blank) return false;
  fat::Status found = s.status;
  if (s.volume) found = s.volume->Find(CardFat::VolumePath(path)).status;
  if (found.ok()) return true;
  if (found.fault == fat::Fault::NotFound || found.fault == fat::Fault::NotAFolder) return false;
  // What cannot be read is not known to be absent: it may hold the
  // operator's data. Taken as there, so that saving it fails before the
  // card is changed.
  Diagnose(path + ": the card cannot be read (" + (s.volume ? Explain(found) : s.why) +
           "); nothing on it will be changed. --no-preserve restores the card without saving its Project folder");
  return true;
}

PathPresence CardFiles::Probe(const std::string& path) {
  justCopiedFrom_.reset();
  justListedLocal_.reset();
  if (card_.IsCardPath(path)) {
    std::string why;
    const PathPresence presence = card_.Probe(path, &why);
    if (presence == PathPresence::Unreadable && diagnostic_) diagnostic_(path + ": " + why);
    return presence;
  }
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) return PathPresence::Present;
  return errno == ENOENT || errno == ENOTDIR ? PathPresence::Absent : PathPresence::Unreadable;
}

CardFiles::~CardFiles() {
  for (const int fd : heldFolders_) close(fd);
}

namespace {

// True when another process holds the folder: a restore running, whose
// temporary folder it is.
bool HeldElsewhere(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

}  // namespace

std::optional<std::vector<std::string>> CardFiles::ListFolders(const std::string& folder, const std::string& prefix) {
  if (card_.IsCardPath(folder)) return std::nullopt;
  std::error_code ec;
  std::vector<std::string> names;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code typeError;
    if (name.size() < prefix.size() || !it->is_directory(typeError) || it->is_symlink(typeError)) continue;
    bool match = true;
    for (std::size_t i = 0; i < prefix.size(); ++i) match = match && ToLowerAscii(name[i]) == ToLowerAscii(prefix[i]);
    if (match && !HeldElsewhere(it->path().string())) names.push_back(name);
  }
  if (ec) return std::nullopt;
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> CardFiles::ReadTextFile(const std::string& path, std::size_t maxBytes) {
  if (card_.IsCardPath(path)) return std::nullopt;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0 && text.size() <= maxBytes)
    text.append(buffer, static_cast<std::size_t>(got));
  close(fd);
  if (got < 0 || text.size() > maxBytes) return std::nullopt;
  return text;
}

bool CardFiles::WriteTextFile(const std::string& path, const std::string& text) {
  if (card_.IsCardPath(path)) return false;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = fsync(fd) == 0 && ok;
  return close(fd) == 0 && ok;
}

std::optional<std::string> CardFiles::TempPath() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  if (path.back() != '/') path += '/';
  return path;
}

std::optional<std::string> CardFiles::TempFileName(const std::string& directory, const std::string& prefix,
                                                   unsigned unique) {
  if (unique == 0 || directory.empty()) return std::nullopt;
  char number[16];
  std::snprintf(number, sizeof number, "%X", unique & 0xFFFF);
  std::string name = directory;
  if (name.back() != '/') name += '/';
  return name + prefix.substr(0, 3) + number + ".tmp";
}

bool CardFiles::MakeDirectory(const std::string& path) {
  Forget();
  if (card_.IsCardPath(path)) {
    CardSession s = card_.Open(true);
    if (!s.volume) {
      Diagnose(path + ": " + s.why);
      return false;
    }
    const fat::Status made = s.volume->MakeFolders(CardFat::VolumePath(path)).status;
    const fat::Status flushed = s.volume->Flush();
    if (!made || !flushed) Diagnose(path + ": " + Explain(made ? flushed : made));
    return made && flushed;
  }
  // The saved project is the operator's data: other users keep out.
  if (mkdir(path.c_str(), 0700) != 0) return false;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
    heldFolders_.push_back(fd);
  } else if (fd >= 0) {
    close(fd);
  }
  return true;
}

bool CardFiles::CopyFromCard(const std::string& source, const std::string& target) {
  const std::string failed = "copying " + source + " from the card failed: ";
  const CardSession s = card_.Open(false);
  if (!s.volume) {
    Diagnose(failed + s.why);
    return false;
  }
  std::vector<std::pair<std::string, fat::Entry>> entries;
  const fat::Status walked = s.volume->Walk(CardFat::VolumePath(WithoutTrailingSeparators(source)),
                                            [&](const std::string& path, const fat::Entry& e) {
                                              entries.emplace_back(path, e);
                                              return true;
                                            });
  if (!walked) {
    Diagnose(failed + Explain(walked));
    return false;
  }

  std::error_code ec;
  fs::create_directories(target, ec);
  if (ec) {
    Diagnose(failed + target + ": " + ec.message());
    return false;
  }
  const std::string root = WithoutTrailingSeparators(target);
  progress_.Begin("Copying " + source + " from the card");
  std::uint64_t totalBytes = 0;
  for (const auto& entry : entries)
    if (!entry.second.IsFolder()) totalBytes += entry.second.size;
  ByteCount count(progress_, totalBytes);
  std::size_t done = 0;
  std::map<std::string, CardNames> names;
  std::vector<TreeEntry> listing;
  std::vector<std::pair<std::string, std::time_t>> folderTimes;
  bool ok = true;
  for (const auto& [path, e] : entries) {
    const std::string local = root + "/" + path;
    names[path] = {e.shortName, static_cast<std::uint8_t>(e.attributes &
                                                          (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive))};
    listing.push_back({path, e.IsFolder(), e.size});
    const std::time_t modified = LocalTime(e.modified);
    if (e.IsFolder()) {
      if (mkdir(local.c_str(), 0700) != 0 && errno != EEXIST) {
        Diagnose(failed + local + ": " + std::strerror(errno));
        ok = false;
        break;
      }
      folderTimes.emplace_back(local, modified);
      continue;
    }
    const int fd = open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      Diagnose(failed + local + ": " + std::strerror(errno));
      ok = false;
      break;
    }
    FileSink file(fd);
    CountedSink sink(file, count);
    const fat::Status read = s.volume->ReadFile(e, sink);
    const timespec times[2] = {{modified, 0}, {modified, 0}};
    futimens(fd, times);
    const bool closed = close(fd) == 0;
    if (!read || !closed) {
      Diagnose(failed + path + ": " + (read ? std::string(std::strerror(errno)) : Explain(read)));
      ok = false;
      break;
    }
    if (progress_.Visible()) progress_.Update(std::to_string(++done) + " of " + std::to_string(entries.size()));
  }
  progress_.End();
  if (!ok) return false;
  // Folders last: what went into them changed their times.
  for (auto it = folderTimes.rbegin(); it != folderTimes.rend(); ++it) {
    const timespec times[2] = {{it->second, 0}, {it->second, 0}};
    utimensat(AT_FDCWD, it->first.c_str(), times, 0);
  }
  int error = 0;
  if (!WriteWholeFile(NamesFileOf(root), FormatNames(names), error)) {
    Diagnose(failed + NamesFileOf(root) + ": " + std::strerror(error));
    return false;
  }
  justCopiedFrom_.emplace(WithoutTrailingSeparators(source), std::move(listing));
  return true;
}

bool CardFiles::CopyToCard(const std::string& source, const std::string& target) {
  const std::string folder = WithoutTrailingSeparators(target);
  const std::string failed = "copying to " + folder + " on the card failed: ";
  const std::string root = WithoutTrailingSeparators(source);

  // What the card said about each entry when the folder was saved.
  std::map<std::string, CardNames> names;
  if (std::string text; ReadWholeFile(NamesFileOf(root), text)) names = ParseNames(text);

  // The local tree, folder by folder.
  struct Local {
    std::string path;  // relative to root
    bool directory = false;
    std::uint64_t size = 0;
    std::time_t modified = 0;
    int rank = 2;  // the order within its folder
  };
  std::vector<Local> locals;
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    Diagnose(failed + root + ": " + (ec ? ec.message() : "not a folder"));
    return false;
  }
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st {};
    const std::string full = it->path().string();
    if (stat(full.c_str(), &st) != 0) continue;  // a dangling link: nothing to copy
    Local l;
    l.path = full.substr(root.size() + 1);
    l.directory = S_ISDIR(st.st_mode);
    if (!l.directory && !S_ISREG(st.st_mode)) continue;
    l.size = l.directory ? 0 : static_cast<std::uint64_t>(st.st_size);
    l.modified = st.st_mtime;
    // 8.3 names first (they have no other short name), then the names the
    // card had, then the rest: so every entry keeps its short name.
    const auto wide = fat::Utf8ToUtf16(it->path().filename().string());
    l.rank = wide && fat::MakeBasis(*wide).fits ? 0 : names.count(l.path) ? 1 : 2;
    locals.push_back(std::move(l));
  }
  if (ec) {
    Diagnose(failed + root + ": " + ec.message());
    return false;
  }
  std::vector<TreeEntry> listing;
  listing.reserve(locals.size());
  for (const Local& l : locals) listing.push_back({l.path, l.directory, l.size});
  justListedLocal_.emplace(root, std::move(listing));

  CardSession s = card_.Open(true);
  if (!s.volume) {
    Diagnose(failed + s.why);
    return false;
  }
  fat::Volume& v = *s.volume;
  const std::string cardRoot = CardFat::VolumePath(folder);
  if (const fat::Status made = v.MakeFolders(cardRoot).status; !made) {
    Diagnose(failed + Explain(made));
    return false;
  }

  std::map<std::string, std::vector<const Local*>> byFolder;
  for (const Local& l : locals) {
    const std::size_t slash = l.path.rfind('/');
    byFolder[slash == std::string::npos ? std::string() : l.path.substr(0, slash)].push_back(&l);
  }
  for (auto& [parent, children] : byFolder)
    std::stable_sort(children.begin(), children.end(),
                     [](const Local* a, const Local* b) { return a->rank < b->rank; });

  std::vector<std::pair<std::string, std::string>> leftBehind;  // path, why
  // Two local names that FAT holds to be one: the second would replace
  // the first on the card.
  std::map<std::string, std::string> written;
  // An entry left behind, and what a folder holds with it.
  auto leave = [&](const Local& l, const std::string& why) {
    leftBehind.emplace_back(l.path, why);
    if (!l.directory) return;
    for (const Local& inside : locals)
      if (inside.path.size() > l.path.size() && inside.path.compare(0, l.path.size() + 1, l.path + "/") == 0)
        leftBehind.emplace_back(inside.path, "its folder could not be made");
  };
  std::optional<std::string> cardFault;
  // Every entry as it was written, for the proof once the card is let go.
  std::vector<WrittenEntry> proofs;
  std::size_t done = 0;
  progress_.Begin("Copying to " + target + " on the card");
  std::uint64_t totalBytes = 0;
  for (const Local& l : locals)
    if (!l.directory) totalBytes += l.size;
  ByteCount count(progress_, totalBytes);
  std::vector<std::string> pending{std::string()};  // folders whose entries are still to write
  while (!pending.empty() && !cardFault) {
    const std::string parent = pending.back();
    pending.pop_back();
    const auto children = byFolder.find(parent);
    if (children == byFolder.end()) continue;
    std::vector<std::string> subfolders;
    for (const Local* l : children->second) {
      if (const auto [it, fresh] = written.emplace(fat::FoldName(l->path), l->path); !fresh) {
        leave(*l, "FAT does not tell it apart from " + it->second);
        continue;
      }
      const auto recorded = names.find(l->path);
      fat::CreateOptions options;
      if (recorded != names.end()) {
        options.shortName = recorded->second.shortName;
        options.attributes = recorded->second.attributes;
      }
      options.modified = LocalStamp(l->modified);
      const std::string cardPath = Join(cardRoot, l->path);
      fat::Status status;
      if (l->directory) {
        const fat::Result<fat::Entry> made = v.MakeFolders(cardPath, options);
        status = made.status;
        // A folder the installer made already gets the attributes it had.
        if (status && recorded != names.end()) status = v.SetAttributes(cardPath, recorded->second.attributes);
        if (status) {
          subfolders.push_back(l->path);
          proofs.push_back({cardPath, true, 0, 0, made.value.shortName,
                            CardAttributes(recorded != names.end() ? recorded->second.attributes
                                                                   : made.value.attributes)});
        }
      } else {
        options.size = l->size;
        const std::string local = root + "/" + l->path;
        const int fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
          leave(*l, std::strerror(errno));
          continue;
        }
        FileSource file(fd);
        DigestingSource digesting(file);
        CountedSource counted(digesting, count);
        const fat::Result<fat::Entry> written = v.WriteFile(cardPath, counted, options);
        status = written.status;
        close(fd);
        if (status) {
          // The attributes the saved copy recorded, where it did: what the
          // card must give back, whatever the writer made of them.
          proofs.push_back({cardPath, false, digesting.digest().length(), digesting.digest().Value(),
                            written.value.shortName,
                            CardAttributes(recorded != names.end() ? recorded->second.attributes
                                                                   : written.value.attributes)});
        }
        if (progress_.Visible()) progress_.Update(std::to_string(++done) + " of " + std::to_string(locals.size()));
      }
      if (!status) {
        leave(*l, Explain(status));
        if (CardFailed(status)) {
          cardFault = Explain(status);
          break;
        }
      }
    }
    // Depth first, in the folder's order.
    pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
  }
  progress_.End();
  const fat::Status flushed = v.Flush();
  if (!flushed) cardFault = Explain(flushed);
  s.volume.reset();
  s.device.reset();

  // Put back means that the card gives it back: read again from the card
  // itself, every entry compared with what was written from the saved
  // copy. Only then may the saved copy go.
  if (leftBehind.empty() && !cardFault) {
    progress_.Begin(std::string(kVerifyingStep) + " " + folder + " on the card");
    std::vector<std::string> problems;
    CardSession proof = card_.Open(false, true);
    if (!proof.volume) {
      problems.push_back(proof.why);
    } else {
      problems = ProveEntries(*proof.volume, cardRoot, proofs, &progress_);
    }
    progress_.End();
    if (problems.empty()) return true;
    for (std::size_t i = 0; i < problems.size() && i < kNamedInLog; ++i)
      if (warn_) warn_("The drive does not give back what was put on it: " + problems[i]);
    if (problems.size() > kNamedInLog && warn_)
      warn_("The drive does not give back what was put on it: " + std::to_string(problems.size() - kNamedInLog) +
            " more entries");
    Diagnose(failed + "the card gives back " + std::to_string(problems.size()) +
             (problems.size() == 1 ? " entry" : " entries") + " different from the saved copy");
    return false;
  }
  for (std::size_t i = 0; i < leftBehind.size() && i < kNamedInLog; ++i)
    if (warn_)
      warn_("Not put back on the drive: " + folder + "/" + leftBehind[i].first + " (" + leftBehind[i].second + ")");
  if (leftBehind.size() > kNamedInLog && warn_)
    warn_("Not put back on the drive: " + std::to_string(leftBehind.size() - kNamedInLog) + " more files");
  if (cardFault && warn_) warn_("The card failed, the rest of the Project Folder was not tried: " + *cardFault);
  Diagnose(failed + (cardFault ? *cardFault : std::to_string(leftBehind.size()) + " entries not written"));
  return false;
}

bool CardFiles::CopyFolderTree(const std::string& source, const std::string& target) {
  Forget();
  const bool fromCard = card_.IsCardPath(source);
  const bool toCard = card_.IsCardPath(target);
  if (fromCard && toCard) return false;  // no step of the restore copies within the card
  if (fromCard) return CopyFromCard(source, target);
  if (toCard) return CopyToCard(source, target);
  std::error_code ec;
  fs::create_directories(target, ec);
  fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  if (ec) Diagnose("copying " + source + ": " + ec.message());
  return !ec;
}

bool CardFiles::DeleteFolderTree(const std::string& path, std::uint16_t /*flags*/) {
  Forget();
  if (path.empty()) return false;
  if (card_.IsCardPath(path)) {
    CardSession s = card_.Open(true);
    if (!s.volume) return false;
    const fat::Status removed = s.volume->RemoveTree(CardFat::VolumePath(WithoutTrailingSeparators(path)));
    return s.volume->Flush() && removed;
  }
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(path, ec))) return false;
  fs::remove_all(path, ec);
  return !ec;
}

std::optional<std::vector<TreeEntry>> CardFiles::CardTree(const std::string& root) {
  const CardSession s = card_.Open(false);
  if (!s.volume) {
    Diagnose(root + ": " + s.why);
    return std::nullopt;
  }
  std::vector<TreeEntry> entries;
  const fat::Status walked =
      s.volume->Walk(CardFat::VolumePath(root), [&](const std::string& path, const fat::Entry& e) {
        entries.push_back({path, e.IsFolder(), e.size});
        return true;
      });
  if (!walked) {
    Diagnose(root + ": " + Explain(walked));
    return std::nullopt;
  }
  return entries;
}

std::optional<std::vector<TreeEntry>> CardFiles::ListTree(const std::string& root) {
  const std::string key = WithoutTrailingSeparators(root);
  if (card_.IsCardPath(root)) {
    if (justCopiedFrom_ && justCopiedFrom_->first == key) {
      std::vector<TreeEntry> entries = std::move(justCopiedFrom_->second);
      justCopiedFrom_.reset();
      return entries;
    }
    return CardTree(key);
  }
  if (justListedLocal_ && justListedLocal_->first == key) {
    std::vector<TreeEntry> entries = std::move(justListedLocal_->second);
    justListedLocal_.reset();
    return entries;
  }
  return LocalTree(root);
}

std::optional<std::vector<TreeEntry>> CardFiles::LocalTree(const std::string& root) {
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return std::nullopt;
  std::vector<TreeEntry> entries;
  // The iterator's paths all start with root as given; cutting that off is
  // what fs::relative would do, without its path lookups for every entry.
  const std::size_t prefix = fs::path(root).string().size();
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    TreeEntry e;
    std::string full = it->path().generic_string();
    std::size_t cut = prefix;
    while (cut < full.size() && full[cut] == '/') ++cut;
    e.path = full.substr(cut);
    e.directory = it->is_directory(ec);
    if (!e.directory) e.size = it->file_size(ec);
    entries.push_back(std::move(e));
  }
  if (ec) return std::nullopt;
  return entries;
}

bool CardFiles::SetAttributes(const std::string& path, std::uint32_t attributes) {
  Forget();
  if (card_.IsCardPath(path)) {
    CardSession s = card_.Open(true);
    if (!s.volume) {
      Diagnose(path + ": " + s.why);
      return false;
    }
    const fat::Status set = s.volume->SetAttributes(CardFat::VolumePath(path), static_cast<std::uint8_t>(attributes));
    const fat::Status flushed = s.volume->Flush();
    return set && flushed;
  }
  // Local files know only read-only.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  const mode_t mode = (attributes & kAttrReadOnly) ? (st.st_mode & ~mode_t{0222}) : (st.st_mode | S_IWUSR);
  return chmod(path.c_str(), mode & 07777) == 0;
}

std::string CardFiles::CurrentDirectory() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string(".");
}

bool CardFiles::CanOpenForReading(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

}  // namespace tessarin::linux_port
