#include "linux/card_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>

#include "card/card_types.h"

namespace fs = std::filesystem;

namespace tessarin::linux_port {
namespace {

std::string WithoutTrailingSeparators(std::string p) {
  while (p.size() > 3 && (p.back() == '/' || p.back() == '\\')) p.pop_back();
  return p;
}

}  // namespace

std::function<void(const std::string&)> CardFiles::FileCounter(std::size_t& done, std::size_t total) {
  if (!progress_.Visible()) return {};
  return [this, &done, total](const std::string&) {
    progress_.Update(std::to_string(++done) + " of " + std::to_string(total));
  };
}

void CardFiles::Report(const std::string& what, const ProcessResult& r) {
  if (!diagnostic_) return;
  if (!r.started) {
    diagnostic_(what + ": " + std::strerror(r.error));
  } else {
    const std::string line = FirstLine(r.errors);
    diagnostic_(what + " failed" + (line.empty() ? std::string() : ": " + line));
  }
}

bool CardFiles::Exists(const std::string& path) {
  justCopiedFrom_.reset();
  justListedLocal_.reset();
  if (card_.IsCardPath(path))
    return card_.Run({"mdir", "-a", "-b", LiteralCardPath(WithoutTrailingSeparators(path))}).ok();
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
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
    if (match) names.push_back(name);
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
  justCopiedFrom_.reset();
  justListedLocal_.reset();
  if (card_.IsCardPath(path)) return card_.Run({"mmd", LiteralCardPath(path)}).ok();
  // The saved project is the operator's data: other users keep out.
  return mkdir(path.c_str(), 0700) == 0;
}

bool CardFiles::MakeCardFolder(const std::string& path) {
  if (Exists(path)) return true;
  // Parents first: mmd makes one level only.
  const std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string::npos && slash > 2 && !MakeCardFolder(path.substr(0, slash))) return false;
  const ProcessResult r = card_.Run({"mmd", LiteralCardPath(path)});
  if (!r.ok()) Report("mmd " + path, r);
  return r.ok();
}

bool CardFiles::CopyFromCard(const std::string& source, const std::string& target) {
  std::error_code ec;
  fs::create_directories(target, ec);
  if (ec) {
    if (diagnostic_) diagnostic_(target + ": " + ec.message());
    return false;
  }
  // The attributes are read beside the listing and the copy: all three only
  // read the card.
  auto attributesJob = std::async(std::launch::async, [&] { return card_.ListAttributes(source); });
  auto entries = card_.ListTree(source);
  savedAttributes_.erase(WithoutTrailingSeparators(target));
  if (!entries) return false;
  if (entries->empty()) return true;  // an empty folder: nothing to copy, and "*" would match nothing
  std::size_t done = 0;
  progress_.Begin("Copying " + source + " from the card");
  // One call for the whole tree; mtools' own "*" takes every entry, hidden
  // ones included.
  const ProcessResult r = card_.Copy({LiteralCardPath(WithoutTrailingSeparators(source)) + "/*", target + "/"},
                                     FileCounter(done, entries->size()));
  progress_.End();
  if (!r.ok()) {
    Report("copying " + source + " from the card", r);
    return false;
  }
  const auto attributes = attributesJob.get();
  if (!attributes) return false;
  std::vector<EntryAttributes>& keep = savedAttributes_[WithoutTrailingSeparators(target)];
  keep.clear();
  const auto directories = [&] {
    std::map<std::string, bool> d;
    for (const TreeEntry& e : *entries) d[e.path] = e.directory;
    return d;
  }();
  for (const EntryAttributes& a : *attributes) {
    // What a fresh copy gets anyway: archive for files, nothing for folders.
    const auto it = directories.find(a.path);
    const bool directory = it != directories.end() && it->second;
    if (a.attributes != (directory ? 0u : kAttrArchive)) keep.push_back(a);
  }
  justCopiedFrom_.emplace(WithoutTrailingSeparators(source), std::move(*entries));
  return true;
}

bool CardFiles::CopyToCard(const std::string& source, const std::string& target) {
  std::error_code ec;
  std::vector<std::string> names;
  std::size_t total = 0;
  for (const auto& e : fs::directory_iterator(source, ec)) names.push_back(e.path().string());
  if (ec) {
    if (diagnostic_) diagnostic_(source + ": " + ec.message());
    return false;
  }
  if (progress_.Visible()) {
    for (auto it = fs::recursive_directory_iterator(source, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
      ++total;
  }
  const std::string folder = WithoutTrailingSeparators(target);
  if (!MakeCardFolder(folder)) return false;
  if (names.empty()) return true;
  std::sort(names.begin(), names.end());
  std::vector<std::string> arguments = names;
  arguments.push_back(LiteralCardPath(folder) + "/");
  std::size_t done = 0;
  // The listing that checks this copy afterwards is taken meanwhile: the
  // source does not change.
  auto listingJob = std::async(std::launch::async, [&] { return LocalTree(source); });
  progress_.Begin("Copying to " + target + " on the card");
  const ProcessResult r = card_.Copy(arguments, FileCounter(done, total));
  progress_.End();
  auto listing = listingJob.get();
  if (!r.ok()) {
    Report("copying to " + target + " on the card", r);
    return false;
  }
  if (listing) justListedLocal_.emplace(WithoutTrailingSeparators(source), std::move(*listing));
  return RestoreAttributes(source, folder);
}

bool CardFiles::RestoreAttributes(const std::string& source, const std::string& cardFolder) {
  const auto saved = savedAttributes_.find(WithoutTrailingSeparators(source));
  if (saved == savedAttributes_.end()) return true;
  // One mattrib call per combination of attributes, a few hundred paths at
  // a time.
  std::map<std::uint32_t, std::vector<std::string>> groups;
  for (const EntryAttributes& a : saved->second)
    groups[a.attributes].push_back(LiteralCardPath(cardFolder + "/" + a.path));
  constexpr std::size_t kPathsPerCall = 256;
  for (const auto& [groupAttributes, paths] : groups) {
    const std::uint32_t attributes = groupAttributes;
    auto flag = [attributes](std::uint32_t bit, char letter) {
      return std::string(1, (attributes & bit) ? '+' : '-') + letter;
    };
    for (std::size_t first = 0; first < paths.size(); first += kPathsPerCall) {
      std::vector<std::string> argv{"mattrib", flag(kAttrReadOnly, 'r'), flag(kAttrArchive, 'a'),
                                    flag(kAttrSystem, 's'), flag(kAttrHidden, 'h')};
      const std::size_t last = std::min(paths.size(), first + kPathsPerCall);
      argv.insert(argv.end(), paths.begin() + static_cast<std::ptrdiff_t>(first),
                  paths.begin() + static_cast<std::ptrdiff_t>(last));
      const ProcessResult r = card_.Run(argv);
      if (!r.ok()) {
        Report("restoring the attributes of " + cardFolder, r);
        return false;
      }
    }
  }
  return true;
}

bool CardFiles::CopyFolderTree(const std::string& source, const std::string& target) {
  justCopiedFrom_.reset();
  justListedLocal_.reset();
  const bool fromCard = card_.IsCardPath(source);
  const bool toCard = card_.IsCardPath(target);
  if (fromCard && toCard) return false;  // no step of the restore copies within the card
  if (fromCard) return CopyFromCard(source, target);
  if (toCard) return CopyToCard(source, target);
  std::error_code ec;
  fs::create_directories(target, ec);
  fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  if (ec && diagnostic_) diagnostic_("copying " + source + ": " + ec.message());
  return !ec;
}

bool CardFiles::DeleteFolderTree(const std::string& path, std::uint16_t /*flags*/) {
  justCopiedFrom_.reset();
  justListedLocal_.reset();
  if (path.empty()) return false;
  if (card_.IsCardPath(path)) return card_.Run({"mdeltree", LiteralCardPath(WithoutTrailingSeparators(path))}).ok();
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(path, ec))) return false;
  fs::remove_all(path, ec);
  return !ec;
}

std::optional<std::vector<TreeEntry>> CardFiles::ListTree(const std::string& root) {
  if (card_.IsCardPath(root)) {
    if (justCopiedFrom_ && justCopiedFrom_->first == WithoutTrailingSeparators(root)) {
      std::vector<TreeEntry> entries = std::move(justCopiedFrom_->second);
      justCopiedFrom_.reset();
      return entries;
    }
    return card_.ListTree(WithoutTrailingSeparators(root));
  }
  if (justListedLocal_ && justListedLocal_->first == WithoutTrailingSeparators(root)) {
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
  justCopiedFrom_.reset();
  justListedLocal_.reset();
  if (card_.IsCardPath(path)) {
    auto flag = [&](std::uint32_t bit, char letter) { return std::string(1, (attributes & bit) ? '+' : '-') + letter; };
    return card_
        .Run({"mattrib", flag(kAttrReadOnly, 'r'), flag(kAttrArchive, 'a'), flag(kAttrSystem, 's'),
              flag(kAttrHidden, 'h'), LiteralCardPath(path)})
        .ok();
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
