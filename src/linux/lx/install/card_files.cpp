#include "lx/install/card_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "card/card_types.h"
#include "card/entry_names.h"
#include "lx/install/card_proof.h"
#include "lx/install/counted_bytes.h"

namespace fs = std::filesystem;

namespace tessarin::linux_port {
namespace {

// How many files left behind the log names one by one; the rest are
// counted.
constexpr std::size_t kNamedInLog = 100;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;

std::string WithoutTrailingSeparators(std::string p) {
  while (p.size() > 3 && (p.back() == '/' || p.back() == '\\')) p.pop_back();
  return p;
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder + "/" + name;
}

// A local path as its folder and its last name: "a/b" gives "a" and "b",
// "b" gives "." and "b", "/b" gives "/" and "b".
std::pair<std::string, std::string> SplitLocal(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The name a held folder is kept under: the path without trailing '/'.
std::string FolderKey(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A descriptor that is closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.Release();
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // False, with errno, when the close reports a failure of what was
  // written.
  bool Close() {
    const int fd = Release();
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

// A regular file below a folder, opened without following a link and
// without waiting on a pipe that stands in its place.
Descriptor OpenRegularAt(int folder, const std::string& name) {
  Descriptor fd(openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st {};
  if (!fd) return fd;
  if (fstat(fd.get(), &st) != 0) return Descriptor();
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return Descriptor();
  }
  // Back to blocking reads: a file on a slow medium is read whole.
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// A path below a folder's descriptor, each folder on the way opened
// without following a link: "a/b/c" is c in b in a, whatever links the
// tree may hold.
Descriptor OpenBeneath(int root, const std::string& relative, bool folder) {
  Descriptor current;
  int at = root;
  std::size_t start = 0;
  for (std::size_t slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
    current = Descriptor(openat(at, relative.substr(start, slash - start).c_str(), kFolderFlags));
    if (!current) return current;
    at = current.get();
  }
  const std::string last = relative.substr(start);
  return folder ? Descriptor(openat(at, last.c_str(), kFolderFlags)) : OpenRegularAt(at, last);
}

bool FsyncFolder(const std::string& path) {
  const Descriptor fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd && fsync(fd.get()) == 0;
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

// Reads a file from start to end; false, with errno, when it cannot.
bool ReadPieces(int fd, const std::function<void(const std::uint8_t*, std::size_t)>& piece) {
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    piece(buffer, static_cast<std::size_t>(n));
  }
}

// Replaces name in the folder by a file holding text, durably: written
// under a name of its own beside it, flushed, renamed over it, and the
// folder flushed. A stop at any point leaves the old file or the new one
// whole (and perhaps the hidden file of the attempt). errno tells why it
// failed.
bool WriteDurably(int folder, const std::string& name, const std::string& text) {
  static std::atomic<unsigned> attempts{0};
  std::string temporary;
  Descriptor fd;
  for (int tries = 0; !fd && tries < 100; ++tries) {
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, ".%ld-%u.tmp", static_cast<long>(getpid()), attempts++);
    temporary = "." + name + suffix;
    fd = Descriptor(openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd && errno != EEXIST) return false;
  }
  if (!fd) return false;
  const Failure written = FileSink(fd.get()).Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (written) errno = static_cast<int>(written.code);
  bool ok = !written && fsync(fd.get()) == 0;
  ok = fd.Close() && ok;
  ok = ok && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0;
  if (!ok) {
    const int error = errno;
    unlinkat(folder, temporary.c_str(), 0);
    errno = error;
    return false;
  }
  return fsync(folder) == 0;
}

// Calls visit with each entry of the folder but "." and "..", and how it
// looks itself (a link is not followed; null when it cannot be looked at,
// with errno), until visit returns false. False, with errno, when the
// folder cannot be read to its end or visit stopped.
bool ForEachEntry(int folder, const std::function<bool(const std::string& name, const struct stat* st)>& visit) {
  const int copy = fcntl(folder, F_DUPFD_CLOEXEC, 0);
  DIR* const dir = copy < 0 ? nullptr : fdopendir(copy);
  if (dir == nullptr) {
    if (copy >= 0) close(copy);
    return false;
  }
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      ok = errno == 0;
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    const bool looked = fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!visit(name, looked ? &st : nullptr)) {
      ok = false;
      break;
    }
  }
  const int error = errno;
  closedir(dir);
  errno = error;
  return ok;
}

// Flushes every file and folder below the folder, then the folder itself;
// links are entries of their folder, nothing behind them is visited.
bool FlushBelow(int folder, int depth) {
  bool ok = depth < 4096;
  const bool listed = ForEachEntry(folder, [&](const std::string& name, const struct stat* st) {
    if (st == nullptr) {
      ok = false;
    } else if (S_ISDIR(st->st_mode)) {
      const Descriptor sub(openat(folder, name.c_str(), kFolderFlags));
      ok = sub && FlushBelow(sub.get(), depth + 1) && ok;
    } else if (S_ISREG(st->st_mode)) {
      const Descriptor file(openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
      ok = file && fsync(file.get()) == 0 && ok;
    }
    return true;
  });
  return fsync(folder) == 0 && listed && ok;
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

std::string DefaultSaveFolder() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/var/tmp";
}

bool OnVolatileFileSystem(const std::string& folder) {
  struct statfs fs {};
  if (statfs(folder.c_str(), &fs) != 0) return false;
  return fs.f_type == static_cast<decltype(fs.f_type)>(TMPFS_MAGIC) ||
         fs.f_type == static_cast<decltype(fs.f_type)>(RAMFS_MAGIC);
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
    std::string path = line.substr(tab2 + 1);
    if (!WhyRelativePathUnsafe(path).empty()) continue;
    names[std::move(path)] = n;
  }
  return names;
}

CardSession CardFiles::OpenCard(bool writable, const std::string& failed) const {
  CardSession s = card_.Open(writable);
  if (!s.volume) Diagnose(failed + s.why);
  return s;
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
  for (const auto& [path, fd] : heldFolders_) close(fd);
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
    // A link to a folder is listed too: the caller names it as not
    // trusted (IsPrivateFolder) instead of passing over it in silence.
    if (name.size() < prefix.size() || !it->is_directory(typeError)) continue;
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
  const Descriptor fd = OpenRegularAt(AT_FDCWD, path);
  if (!fd) return std::nullopt;
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(fd.get(), buffer, sizeof buffer)) > 0 && text.size() <= maxBytes)
    text.append(buffer, static_cast<std::size_t>(got));
  if (got < 0 || text.size() > maxBytes) return std::nullopt;
  return text;
}

bool CardFiles::WriteTextFile(const std::string& path, const std::string& text) {
  if (card_.IsCardPath(path)) return false;
  const auto [folder, name] = SplitLocal(path);
  const Descriptor fd(open(folder.c_str(), kFolderFlags));
  if (!fd || !WriteDurably(fd.get(), name, text)) {
    Diagnose(path + ": " + std::strerror(errno));
    return false;
  }
  return true;
}

bool CardFiles::RemoveFile(const std::string& path) {
  Forget();
  if (card_.IsCardPath(path)) {
    CardSession s = OpenCard(true, path + ": ");
    if (!s.volume) return false;
    const fat::Status removed = s.volume->Remove(CardFat::VolumePath(path));
    const fat::Status flushed = s.volume->Flush();
    return (removed || removed.fault == fat::Fault::NotFound) && flushed;
  }
  const auto [folder, name] = SplitLocal(path);
  const Descriptor fd(open(folder.c_str(), kFolderFlags));
  if (!fd) return errno == ENOENT || errno == ENOTDIR;
  if (unlinkat(fd.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
    Diagnose(path + ": " + std::strerror(errno));
    return false;
  }
  // Gone for good only once the folder says so on the disk.
  if (fsync(fd.get()) != 0) {
    Diagnose(path + ": " + std::strerror(errno));
    return false;
  }
  return true;
}

bool CardFiles::FlushTree(const std::string& path) {
  Forget();
  if (card_.IsCardPath(path)) return false;
  errno = 0;
  const Descriptor fd(open(path.c_str(), kFolderFlags));
  // The tree, and its own name in the folder that holds it.
  if (!fd || !FlushBelow(fd.get(), 0) || !FsyncFolder(SplitLocal(path).first)) {
    Diagnose(path + ": not all of it could be written to the disk" +
             (errno != 0 ? std::string(" (") + std::strerror(errno) + ")" : std::string()));
    return false;
  }
  return true;
}

bool CardFiles::IsPrivateFolder(const std::string& path, std::string* why) {
  auto refuse = [why](std::string reason) {
    if (why != nullptr) *why = std::move(reason);
    return false;
  };
  if (card_.IsCardPath(path)) return refuse("it is on the card");
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return refuse(std::string("it cannot be examined (") + std::strerror(errno) + ")");
  if (S_ISLNK(st.st_mode)) return refuse("it is a symbolic link");
  if (!S_ISDIR(st.st_mode)) return refuse("it is not a folder");
  if (st.st_uid != geteuid())
    return refuse("it belongs to user " + std::to_string(st.st_uid) + ", not to this user (" +
                  std::to_string(geteuid()) + ")");
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return refuse(std::string("other users may write in it (mode ") + mode + ")");
  }
  if (why != nullptr) why->clear();
  return true;
}

bool CardFiles::HoldFolder(const std::string& path) {
  if (card_.IsCardPath(path)) return false;
  std::string key = FolderKey(path);
  if (heldFolders_.count(key) != 0) return true;
  Descriptor fd(open(key.c_str(), kFolderFlags));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0) return false;
  // The same folder under another name: a second lock of this process
  // would be refused by its own first.
  for (const auto& [heldPath, heldFd] : heldFolders_) {
    struct stat held {};
    if (fstat(heldFd, &held) == 0 && held.st_dev == st.st_dev && held.st_ino == st.st_ino) return true;
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  heldFolders_.emplace(std::move(key), fd.Release());
  return true;
}

void CardFiles::ReleaseFolder(const std::string& path) {
  const std::string key = FolderKey(path);
  auto it = heldFolders_.find(key);
  if (it == heldFolders_.end()) {
    // Held under another name of the same folder.
    struct stat st {};
    if (lstat(key.c_str(), &st) != 0) return;
    for (it = heldFolders_.begin(); it != heldFolders_.end(); ++it) {
      struct stat held {};
      if (fstat(it->second, &held) == 0 && held.st_dev == st.st_dev && held.st_ino == st.st_ino) break;
    }
    if (it == heldFolders_.end()) return;
  }
  close(it->second);
  heldFolders_.erase(it);
}

bool CardFiles::ReadFile(const std::string& path, const std::function<void(const std::uint8_t*, std::size_t)>& piece) {
  if (card_.IsCardPath(path)) return false;
  const Descriptor fd = OpenRegularAt(AT_FDCWD, path);
  return fd && ReadPieces(fd.get(), piece);
}

std::optional<std::string> CardFiles::TempPath() {
  std::string path = saveFolder_.empty() ? DefaultSaveFolder() : saveFolder_;
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
    CardSession s = OpenCard(true, path + ": ");
    if (!s.volume) return false;
    const fat::Status made = s.volume->MakeFolders(CardFat::VolumePath(path)).status;
    const fat::Status flushed = s.volume->Flush();
    if (!made || !flushed) Diagnose(path + ": " + Explain(made ? flushed : made));
    return made && flushed;
  }
  // The saved project is the operator's data: other users keep out. Made
  // new or not at all: a name taken (by another restore a moment ago, or
  // by anyone) is left to whoever took it.
  if (mkdir(path.c_str(), 0700) != 0) return false;
  Descriptor fd(open(path.c_str(), kFolderFlags));
  if (!fd) return false;
  // Whatever the umask took away, the owner needs all of it.
  fchmod(fd.get(), 0700);
  if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) heldFolders_.emplace(FolderKey(path), fd.Release());
  return true;
}

namespace {

// A folder of a copy from the card being written: its descriptor, and the
// time it gets once everything in it is written.
struct OpenFolder {
  std::string path;  // relative to the copy's root; "" for the root
  Descriptor fd;
  std::optional<std::time_t> modified;
};

// Done with a folder of the copy: its time (what went into it changed
// it), then on the disk.
bool FinishFolder(OpenFolder& folder) {
  if (folder.modified) {
    const timespec times[2] = {{*folder.modified, 0}, {*folder.modified, 0}};
    futimens(folder.fd.get(), times);
  }
  return fsync(folder.fd.get()) == 0 && folder.fd.Close();
}

// The folder that holds the entry at path, named name, relative to the
// copy's root.
std::string ParentOf(const std::string& path, const std::string& name) {
  return path.size() > name.size() ? path.substr(0, path.size() - name.size() - 1) : std::string();
}

// The copy's root folder, made when missing (the folders above it too),
// and the folder that holds it in parent; none, with errno, when either
// cannot be opened or the root is a link.
Descriptor OpenCopyRoot(const std::string& root, Descriptor& parent) {
  const auto [parentPath, rootName] = SplitLocal(root);
  std::error_code ec;
  fs::create_directories(parentPath, ec);
  parent = Descriptor(open(parentPath.c_str(), kFolderFlags));
  if (!parent || (mkdirat(parent.get(), rootName.c_str(), 0700) != 0 && errno != EEXIST)) return Descriptor();
  return Descriptor(openat(parent.get(), rootName.c_str(), kFolderFlags));
}

// A file of the card into a new file of the folder, on the disk before
// this returns; what failed, or empty.
std::string SaveCardFile(fat::Volume& v, const fat::Entry& e, int folder, ByteCount& count) {
  Descriptor fd(openat(folder, e.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return std::strerror(errno);
  FileSink file(fd.get());
  CountedSink sink(file, count);
  const fat::Status read = v.ReadFile(e, sink);
  const std::time_t modified = LocalTime(e.modified);
  const timespec times[2] = {{modified, 0}, {modified, 0}};
  futimens(fd.get(), times);
  if (!read) return Explain(read);
  if (fsync(fd.get()) != 0 || !fd.Close()) return std::strerror(errno);
  return {};
}

// Every name the card gives, looked at before anything is written here: a
// name that is no single local name ("..", "a/b", a control character)
// would put a file where it does not belong; one longer than a local name
// or path may be would leave a copy that nobody can read back or remove.
// Empty when the whole tree can be saved below root.
std::string WhyNotSavable(const std::vector<std::pair<std::string, fat::Entry>>& entries, const std::string& root) {
  const long pathconfNameMax = pathconf(SplitLocal(root).first.c_str(), _PC_NAME_MAX);
  const std::size_t nameMax = pathconfNameMax > 0 ? static_cast<std::size_t>(pathconfNameMax) : NAME_MAX;
  for (const auto& [path, e] : entries) {
    std::string why = WhyNameUnsafe(e.name);
    if (why.empty() && e.name.size() > nameMax)
      why = "a name of " + std::to_string(e.name.size()) + " bytes, longer than a local name may be (" +
            std::to_string(nameMax) + ")";
    if (why.empty() && root.size() + 1 + path.size() >= PATH_MAX)
      why = "a path longer than a local path may be (" + std::to_string(PATH_MAX) + " bytes)";
    if (!why.empty())
      return "the card holds an entry \"" + EscapeName(path) + "\" that cannot be saved as a local file (" + why + ")";
  }
  return {};
}

}  // namespace

namespace {

// A copy from the card being written: what it names and lists, and what
// failed (empty: nothing).
struct CardCopy {
  std::map<std::string, CardNames> names;
  std::vector<TreeEntry> listing;
  std::string fault;
};

// The walked entries written below the copy's root (folders.front()), each
// folder finished once the walk has left it: it gives a folder's contents
// right after it.
void SaveEntries(fat::Volume& v, const std::vector<std::pair<std::string, fat::Entry>>& entries,
                 const std::string& root, std::vector<OpenFolder>& folders, StepProgress& progress, CardCopy& copy) {
  std::uint64_t totalBytes = 0;
  for (const auto& entry : entries)
    if (!entry.second.IsFolder()) totalBytes += entry.second.size;
  ByteCount count(progress, totalBytes);
  std::size_t done = 0;
  std::string& fault = copy.fault;
  for (const auto& [path, e] : entries) {
    copy.names[path] = {e.shortName, static_cast<std::uint8_t>(
                                         e.attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive))};
    copy.listing.push_back({path, e.IsFolder(), e.size});
    const std::string parentOfEntry = ParentOf(path, e.name);
    while (folders.size() > 1 && folders.back().path != parentOfEntry) {
      if (!FinishFolder(folders.back())) fault = folders.back().path + ": " + std::strerror(errno);
      folders.pop_back();
    }
    if (fault.empty() && folders.back().path != parentOfEntry) fault = path + ": its folder was not met before it";
    if (!fault.empty()) break;
    const int at = folders.back().fd.get();
    if (e.IsFolder()) {
      // New, as the copy is: a second entry of the name on the card is
      // not mixed into the first.
      Descriptor made(mkdirat(at, e.name.c_str(), 0700) == 0 ? openat(at, e.name.c_str(), kFolderFlags) : -1);
      if (!made) {
        fault = root + "/" + path + ": " + std::strerror(errno);
        break;
      }
      folders.push_back({path, std::move(made), LocalTime(e.modified)});
      continue;
    }
    fault = SaveCardFile(v, e, at, count);
    if (!fault.empty()) {
      fault = root + "/" + path + ": " + fault;
      break;
    }
    if (progress.Visible()) progress.Update(std::to_string(++done) + " of " + std::to_string(entries.size()));
  }
  while (fault.empty() && folders.size() > 1) {
    if (!FinishFolder(folders.back())) fault = folders.back().path + ": " + std::strerror(errno);
    folders.pop_back();
  }
}

}  // namespace

bool CardFiles::CopyFromCard(const std::string& source, const std::string& target) {
  const std::string failed = "copying " + source + " from the card failed: ";
  const CardSession s = OpenCard(false, failed);
  if (!s.volume) return false;
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
  const std::string root = WithoutTrailingSeparators(target);
  if (const std::string why = WhyNotSavable(entries, root); !why.empty()) {
    Diagnose(failed + why + "; nothing was saved");
    return false;
  }
  Descriptor parent;
  std::vector<OpenFolder> folders;  // from the copy's root down to the folder written into
  folders.push_back({"", OpenCopyRoot(root, parent), std::nullopt});
  if (!folders.back().fd) {
    Diagnose(failed + root + ": " + std::strerror(errno));
    return false;
  }
  progress_.Begin("Copying " + source + " from the card");
  CardCopy copy;
  SaveEntries(*s.volume, entries, root, folders, progress_, copy);
  progress_.End();
  if (!copy.fault.empty()) {
    Diagnose(failed + copy.fault);
    return false;
  }
  // The list of names beside the copy, then the copy's root and the
  // folder that holds both: all of it on the disk.
  const std::string namesFile = NamesFileOf(root);
  if (!WriteDurably(parent.get(), SplitLocal(namesFile).second, FormatNames(copy.names)) ||
      fsync(folders.front().fd.get()) != 0 || fsync(parent.get()) != 0) {
    Diagnose(failed + namesFile + ": " + std::strerror(errno));
    return false;
  }
  justCopiedFrom_.emplace(WithoutTrailingSeparators(source), std::move(copy.listing));
  return true;
}

// ---- The copy back to the card ----------------------------------------

namespace {

// An entry of the saved copy.
struct LocalEntry {
  std::string path;  // relative to the copy's root
  bool directory = false;
  std::uint64_t size = 0;
  std::time_t modified = 0;
  int rank = 2;  // the order within its folder
};

// What the saved copy holds, read below its root's descriptor.
struct SavedTree {
  std::vector<LocalEntry> entries;
  std::vector<std::pair<std::string, std::string>> unfit;  // path, why: what the card cannot get
};

// The folder's entries and everything below them, depth first, a folder
// before its contents. Links are not followed: no file of the copy comes
// from anywhere else. False, with errno, when a folder cannot be read.
bool ScanFolder(int folder, const std::string& prefix, const std::map<std::string, CardNames>& names, SavedTree& tree) {
  return ForEachEntry(folder, [&](const std::string& name, const struct stat* st) {
    if (st == nullptr) return false;
    LocalEntry l;
    l.path = prefix + name;
    if (S_ISLNK(st->st_mode) || (!S_ISDIR(st->st_mode) && !S_ISREG(st->st_mode))) {
      tree.unfit.emplace_back(l.path, S_ISLNK(st->st_mode) ? "a symbolic link in the saved copy, not followed"
                                                           : "neither a file nor a folder");
      return true;
    }
    l.directory = S_ISDIR(st->st_mode);
    l.size = l.directory ? 0 : static_cast<std::uint64_t>(st->st_size);
    l.modified = st->st_mtime;
    // 8.3 names first (they have no other short name), then the names the
    // card had, then the rest: so every entry keeps its short name.
    const auto wide = fat::Utf8ToUtf16(name);
    l.rank = wide && fat::MakeBasis(*wide).fits ? 0 : names.count(l.path) ? 1 : 2;
    tree.entries.push_back(l);
    if (!l.directory) return true;
    const Descriptor sub(openat(folder, name.c_str(), kFolderFlags));
    return sub && ScanFolder(sub.get(), l.path + "/", names, tree);
  });
}

// The entry and, for a folder, everything the copy holds in it: left
// behind, with the reason.
void LeaveBehind(const LocalEntry& l, const std::string& why, const std::vector<LocalEntry>& all,
                 std::vector<std::pair<std::string, std::string>>& leftBehind) {
  leftBehind.emplace_back(l.path, why);
  if (!l.directory) return;
  for (const LocalEntry& inside : all)
    if (inside.path.size() > l.path.size() && inside.path.compare(0, l.path.size() + 1, l.path + "/") == 0)
      leftBehind.emplace_back(inside.path, "its folder could not be made");
}

// The entries by the folder that holds them, each folder's in the order
// they are written.
std::map<std::string, std::vector<const LocalEntry*>> ByFolder(const std::vector<LocalEntry>& entries) {
  std::map<std::string, std::vector<const LocalEntry*>> byFolder;
  for (const LocalEntry& l : entries) {
    const std::size_t slash = l.path.rfind('/');
    byFolder[slash == std::string::npos ? std::string() : l.path.substr(0, slash)].push_back(&l);
  }
  for (auto& [parent, children] : byFolder)
    std::stable_sort(children.begin(), children.end(),
                     [](const LocalEntry* a, const LocalEntry* b) { return a->rank < b->rank; });
  return byFolder;
}

}  // namespace

struct CardFiles::SavedCopy {
  std::string root;  // as given, without trailing separators
  Descriptor rootFd;
  std::map<std::string, CardNames> names;  // what the card said about each entry when it was saved
  SavedTree tree;
};

struct CardFiles::CardWrite {
  std::vector<std::pair<std::string, std::string>> leftBehind;  // path, why
  std::optional<std::string> cardFault;
  // Every entry as it was written, for the proof once the card is let go.
  std::vector<WrittenEntry> proofs;
};

bool CardFiles::ReadSavedCopy(const std::string& root, const std::string& failed, SavedCopy& copy) {
  copy.root = root;
  copy.rootFd = Descriptor(open(root.c_str(), kFolderFlags));
  if (!copy.rootFd) {
    const int error = errno;
    struct stat st {};
    const bool link = lstat(root.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    Diagnose(failed + root + ": " + (link ? "a symbolic link, not followed" : std::strerror(error)));
    return false;
  }
  // The list lies in the saved folder beside the copy, no link either.
  const Descriptor namesFile = OpenRegularAt(AT_FDCWD, NamesFileOf(root));
  std::string text;
  if (namesFile && ReadPieces(namesFile.get(), [&text](const std::uint8_t* bytes, std::size_t n) {
        text.append(reinterpret_cast<const char*>(bytes), n);
      }))
    copy.names = ParseNames(text);
  if (!ScanFolder(copy.rootFd.get(), "", copy.names, copy.tree)) {
    Diagnose(failed + root + ": " + std::strerror(errno));
    return false;
  }
  std::vector<TreeEntry> listing;
  listing.reserve(copy.tree.entries.size());
  for (const LocalEntry& l : copy.tree.entries) listing.push_back({l.path, l.directory, l.size});
  justListedLocal_.emplace(root, std::move(listing));
  return true;
}

namespace {

// A folder of the saved copy onto the card; its proof when it was made.
fat::Status WriteFolder(fat::Volume& v, const std::string& cardPath, const fat::CreateOptions& options,
                        const CardNames* recorded, std::vector<WrittenEntry>& proofs) {
  const fat::Result<fat::Entry> made = v.MakeFolders(cardPath, options);
  fat::Status status = made.status;
  // A folder the installer made already gets the attributes it had.
  if (status && recorded != nullptr) status = v.SetAttributes(cardPath, recorded->attributes);
  if (status)
    proofs.push_back({cardPath, true, 0, 0, made.value.shortName,
                      CardAttributes(recorded != nullptr ? recorded->attributes : made.value.attributes)});
  return status;
}

// A file of the saved copy onto the card; its proof when it was written.
// None when the local file could not be opened (errno says why).
std::optional<fat::Status> WriteLocalFile(fat::Volume& v, int root, const LocalEntry& l, const std::string& cardPath,
                                          fat::CreateOptions options, const CardNames* recorded, ByteCount& count,
                                          std::vector<WrittenEntry>& proofs) {
  options.size = l.size;
  const Descriptor fd = OpenBeneath(root, l.path, false);
  if (!fd) return std::nullopt;
  FileSource file(fd.get());
  DigestingSource digesting(file);
  CountedSource counted(digesting, count);
  const fat::Result<fat::Entry> written = v.WriteFile(cardPath, counted, options);
  // The attributes the saved copy recorded, where it did: what the card
  // must give back, whatever the writer made of them.
  if (written.ok())
    proofs.push_back({cardPath, false, digesting.digest().length(), digesting.digest().Value(), written.value.shortName,
                      CardAttributes(recorded != nullptr ? recorded->attributes : written.value.attributes)});
  return written.status;
}

}  // namespace

CardFiles::CardWrite CardFiles::WriteSavedCopy(fat::Volume& v, const std::string& cardRoot, SavedCopy& copy,
                                               const std::string& target) {
  CardWrite write;
  const std::vector<LocalEntry>& locals = copy.tree.entries;
  for (const auto& [path, why] : copy.tree.unfit) write.leftBehind.emplace_back(path, why);
  const auto byFolder = ByFolder(locals);
  // Two local names that FAT holds to be one: the second would replace
  // the first on the card.
  std::map<std::string, std::string> written;
  std::size_t done = 0;
  progress_.Begin("Copying to " + target + " on the card");
  std::uint64_t totalBytes = 0;
  for (const LocalEntry& l : locals)
    if (!l.directory) totalBytes += l.size;
  ByteCount count(progress_, totalBytes);
  std::vector<std::string> pending{std::string()};  // folders whose entries are still to write
  while (!pending.empty() && !write.cardFault) {
    const std::string parent = pending.back();
    pending.pop_back();
    const auto children = byFolder.find(parent);
    if (children == byFolder.end()) continue;
    std::vector<std::string> subfolders;
    for (const LocalEntry* l : children->second) {
      if (const auto [it, fresh] = written.emplace(fat::FoldName(l->path), l->path); !fresh) {
        LeaveBehind(*l, "FAT does not tell it apart from " + it->second, locals, write.leftBehind);
        continue;
      }
      const auto found = copy.names.find(l->path);
      const CardNames* recorded = found != copy.names.end() ? &found->second : nullptr;
      fat::CreateOptions options;
      if (recorded != nullptr) {
        options.shortName = recorded->shortName;
        options.attributes = recorded->attributes;
      }
      options.modified = LocalStamp(l->modified);
      const std::string cardPath = Join(cardRoot, l->path);
      fat::Status status;
      if (l->directory) {
        status = WriteFolder(v, cardPath, options, recorded, write.proofs);
        if (status) subfolders.push_back(l->path);
      } else {
        const auto fileStatus =
            WriteLocalFile(v, copy.rootFd.get(), *l, cardPath, options, recorded, count, write.proofs);
        if (!fileStatus) {
          LeaveBehind(*l, std::strerror(errno), locals, write.leftBehind);
          continue;
        }
        status = *fileStatus;
        if (progress_.Visible()) progress_.Update(std::to_string(++done) + " of " + std::to_string(locals.size()));
      }
      if (!status) {
        LeaveBehind(*l, Explain(status), locals, write.leftBehind);
        if (CardFailed(status)) {
          write.cardFault = Explain(status);
          break;
        }
      }
    }
    // Depth first, in the folder's order.
    pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
  }
  progress_.End();
  return write;
}

bool CardFiles::ProveOnCard(const std::string& folder, const std::string& cardRoot, const CardWrite& write,
                            const std::string& failed) {
  // Put back means that the card gives it back: read again from the card
  // itself, every entry compared with what was written from the saved
  // copy. Only then may the saved copy go.
  progress_.Begin(std::string(kVerifyingStep) + " " + folder + " on the card");
  std::vector<std::string> problems;
  CardSession proof = card_.Open(false, true);
  if (!proof.volume) {
    problems.push_back(proof.why);
  } else {
    problems = ProveEntries(*proof.volume, cardRoot, write.proofs, &progress_);
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

void CardFiles::ReportLeftBehind(const std::string& folder, const CardWrite& write, const std::string& failed) {
  const auto& leftBehind = write.leftBehind;
  for (std::size_t i = 0; i < leftBehind.size() && i < kNamedInLog; ++i)
    if (warn_)
      warn_("Not put back on the drive: " + folder + "/" + leftBehind[i].first + " (" + leftBehind[i].second + ")");
  if (leftBehind.size() > kNamedInLog && warn_)
    warn_("Not put back on the drive: " + std::to_string(leftBehind.size() - kNamedInLog) + " more files");
  if (write.cardFault && warn_)
    warn_("The card failed, the rest of the Project Folder was not tried: " + *write.cardFault);
  Diagnose(failed + (write.cardFault ? *write.cardFault : std::to_string(leftBehind.size()) + " entries not written"));
}

bool CardFiles::CopyToCard(const std::string& source, const std::string& target) {
  const std::string folder = WithoutTrailingSeparators(target);
  const std::string failed = "copying to " + folder + " on the card failed: ";
  SavedCopy copy;
  if (!ReadSavedCopy(WithoutTrailingSeparators(source), failed, copy)) return false;

  CardSession s = OpenCard(true, failed);

  if (!s.volume) return false;
  const std::string cardRoot = CardFat::VolumePath(folder);
  if (const fat::Status made = s.volume->MakeFolders(cardRoot).status; !made) {
    Diagnose(failed + Explain(made));
    return false;
  }
  CardWrite write = WriteSavedCopy(*s.volume, cardRoot, copy, target);
  const fat::Status flushed = s.volume->Flush();
  if (!flushed) write.cardFault = Explain(flushed);
  s.volume.reset();
  s.device.reset();
  if (write.leftBehind.empty() && !write.cardFault) return ProveOnCard(folder, cardRoot, write, failed);
  ReportLeftBehind(folder, write, failed);
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
  const CardSession s = OpenCard(false, root + ": ");
  if (!s.volume) return std::nullopt;
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
    CardSession s = OpenCard(true, path + ": ");
    if (!s.volume) return false;
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
