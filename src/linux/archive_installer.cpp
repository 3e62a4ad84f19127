#include "linux/archive_installer.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "card/system_kinds.h"

namespace fs = std::filesystem;

namespace tessarin::linux_port {
namespace {

bool SafeRelativePath(const std::string& name) {
  if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

std::string FirstComponent(const std::string& name) {
  std::size_t start = 0;
  while (name.compare(start, 2, "./") == 0) start += 2;
  const std::size_t slash = name.find('/', start);
  return name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
}

class TempFolder {
 public:
  TempFolder() {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/tessarin-install-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

Extraction ExtractArchive(const std::string& archivePath, const std::string& folder,
                          const std::function<void(std::size_t, std::uint64_t)>& onEntry) {
  Extraction x;
  archive* in = archive_read_new();
  archive_read_support_filter_all(in);
  // The zip reader that looks for the central directory finds an archive
  // behind an executable stub; the 7-Zip reader looks past the stub itself.
  archive_read_support_format_zip_seekable(in);
  archive_read_support_format_7zip(in);

  auto fail = [&](std::uint32_t code, std::string why) {
    x.ok = false;
    x.exitCode = code;
    x.error = std::move(why);
  };
  auto readError = [&](const std::string& what) {
    const char* why = archive_error_string(in);
    return what + (why != nullptr ? std::string(": ") + why : std::string());
  };

  x.ok = true;
  std::uint64_t bytes = 0;
  if (archive_read_open_filename(in, archivePath.c_str(), 1 << 20) != ARCHIVE_OK) {
    fail(kArchiveUnreadable, readError("cannot be read"));
  } else {
    archive_entry* entry = nullptr;
    for (;;) {
      const int rc = archive_read_next_header(in, &entry);
      if (rc == ARCHIVE_EOF) break;
      if (rc < ARCHIVE_WARN) {
        fail(kArchiveUnreadable, readError("damaged archive"));
        break;
      }
      const char* rawName = archive_entry_pathname(entry);
      std::string name = rawName != nullptr ? rawName : "";
      const auto type = archive_entry_filetype(entry);
      // Only plain files and folders, named inside the card: the names are
      // checked here, so that nothing lands outside the unpacking folder.
      if (!SafeRelativePath(name) || (type != AE_IFREG && type != AE_IFDIR) ||
          archive_entry_hardlink(entry) != nullptr) {
        fail(kArchiveUnsafe, "the archive holds an entry that is not a plain file or folder inside the card: " + name);
        break;
      }
      const std::string top = FirstComponent(name);
      if (top.empty() || top == ".") continue;
      if (std::find(x.topLevel.begin(), x.topLevel.end(), top) == x.topLevel.end()) x.topLevel.push_back(top);
      while (!name.empty() && name.back() == '/') name.pop_back();
      const fs::path path = fs::path(folder) / name;
      std::error_code ec;
      if (type == AE_IFDIR) {
        fs::create_directories(path, ec);
        if (ec) {
          fail(kArchiveUnreadable, "cannot unpack " + name + ": " + ec.message());
          break;
        }
        ++x.entries;
        continue;
      }
      fs::create_directories(path.parent_path(), ec);
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (fd < 0) {
        fail(kArchiveUnreadable, "cannot unpack " + name + ": " + std::strerror(errno));
        break;
      }
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      int r = ARCHIVE_OK;
      bool written = true;
      while (written && (r = archive_read_data_block(in, &block, &size, &offset)) == ARCHIVE_OK) {
        const char* p = static_cast<const char*>(block);
        for (size_t done = 0; done < size;) {
          const ssize_t n =
              pwrite(fd, p + done, size - done, static_cast<off_t>(offset + static_cast<la_int64_t>(done)));
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) {
            written = false;
            break;
          }
          done += static_cast<size_t>(n);
        }
        bytes += size;
      }
      const int writeErrno = errno;
      if (written && r == ARCHIVE_EOF && archive_entry_size_is_set(entry))
        written = ftruncate(fd, static_cast<off_t>(archive_entry_size(entry))) == 0;  // a hole at the end
      if (written && r == ARCHIVE_EOF && archive_entry_mtime_is_set(entry)) {
        // The files keep their dates on the card.
        const timespec times[2] = {{archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)},
                                   {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}};
        futimens(fd, times);
      }
      if (close(fd) != 0) written = false;
      if (!written) {
        fail(kArchiveUnreadable, "cannot unpack " + name + ": " + std::strerror(writeErrno));
        break;
      }
      if (r != ARCHIVE_EOF) {
        fail(kArchiveUnreadable, readError("cannot unpack " + name));
        break;
      }
      ++x.entries;
      if (onEntry) onEntry(x.entries, bytes);
    }
  }
  archive_read_free(in);
  if (x.ok && x.entries == 0) fail(kArchiveUnreadable, "the archive holds no files");
  return x;
}

std::vector<std::string> FirstFilesFirst(const std::vector<std::string>& names, const std::vector<std::string>& first) {
  std::vector<std::string> ordered;
  std::vector<bool> taken(names.size(), false);
  for (const std::string& wanted : first) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (!taken[i] && SameEntryName(names[i], wanted)) {
        ordered.push_back(names[i]);
        taken[i] = true;
      }
    }
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!taken[i]) ordered.push_back(names[i]);
  }
  return ordered;
}

std::optional<std::string> WorkingDirectoryEntry(const std::string& name) {
  if (name.empty()) return std::nullopt;
  struct stat st {};
  if (lstat(name.c_str(), &st) == 0) return name;
  DIR* dir = opendir(".");
  if (dir == nullptr) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* entry = readdir(dir)) {
    if (SameEntryName(entry->d_name, name)) {
      found = entry->d_name;
      break;
    }
  }
  closedir(dir);
  return found;
}

InstallerOutcome ArchiveInstaller::RunInstaller(const InstallerCommand& command) {
  InstallerOutcome outcome;
  char cwd[PATH_MAX];
  // The archive is found as Windows finds it: "WINCESYS.EXE" is
  // wincesys.exe.
  const std::string archive = (getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : std::string(".")) + "/" +
                              WorkingDirectoryEntry(command.archive).value_or(command.archive);
  const int fd = open(archive.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // As a program that could not be started.
    const int why = errno;
    outcome.error = Failure::Errno(why == ENOENT ? FailureKind::NotFound : FailureKind::Open, why);
    if (diagnostic_) diagnostic_(archive + ": " + std::strerror(why));
    return outcome;
  }
  close(fd);
  outcome.started = true;

  TempFolder staging;
  if (staging.path().empty()) {
    if (diagnostic_) diagnostic_(std::string("cannot make a folder to unpack into: ") + std::strerror(errno));
    outcome.exitCode = kArchiveUnreadable;
    return outcome;
  }

  progress_.Begin("Installing: unpacking " + command.archive);
  const Extraction x = ExtractArchive(archive, staging.path(), [&](std::size_t entries, std::uint64_t bytes) {
    if (entries % 16 == 0) progress_.Update(std::to_string(entries) + " files, " + std::to_string(bytes >> 20) + " MB");
  });
  progress_.End();
  if (!x.ok) {
    if (diagnostic_) diagnostic_(command.archive + ": " + x.error);
    outcome.exitCode = x.exitCode;
    return outcome;
  }

  // The boot sector finds its file only among the first entries of the
  // root folder, and the loader reads BLDR in a row: the system files go
  // onto the empty card first, so that they take the first entries and
  // clusters in a row; the rest follows in archive order.
  std::vector<std::string> arguments;
  for (const std::string& name : FirstFilesFirst(x.topLevel, command.firstFiles))
    arguments.push_back(staging.path() + "/" + name);
  arguments.push_back(std::string(1, card_.letter()) + ":/");
  progress_.Begin("Installing: writing to the card");
  std::size_t done = 0;
  std::function<void(const std::string&)> onFile;
  if (progress_.Visible()) {
    onFile = [&](const std::string&) { progress_.Update(std::to_string(++done) + " of " + std::to_string(x.entries)); };
  }
  const ProcessResult r = card_.Copy(arguments, onFile);
  progress_.End();
  if (!r.ok()) {
    if (diagnostic_) {
      const std::string why = r.started ? FirstLine(r.errors) : std::string(std::strerror(r.error));
      diagnostic_("writing the system files to the card failed" + (why.empty() ? std::string() : ": " + why));
    }
    outcome.exitCode = r.started && r.exitCode > 0 ? static_cast<std::uint32_t>(r.exitCode) : kArchiveUnreadable;
    return outcome;
  }
  outcome.exitCode = 0;
  return outcome;
}

}  // namespace tessarin::linux_port
