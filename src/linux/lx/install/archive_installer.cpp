#include "lx/install/archive_installer.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>

#include "card/system_kinds.h"
#include "lx/install/counted_bytes.h"

namespace tessarin::linux_port {
namespace {

constexpr std::size_t kProblemsShown = 20;

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

// "./a//b/" as the card names it: "a/b".
std::string CardName(const std::string& name) {
  std::string out;
  for (const std::string& part : fat::SplitPath(name)) {
    if (part == ".") continue;
    if (!out.empty()) out += '/';
    out += part;
  }
  return out;
}

// The archive, opened with the readers that find it behind the stub: the
// zip reader that looks for the central directory, and the 7-Zip reader.
class Archive {
 public:
  explicit Archive(const std::string& path) : a_(archive_read_new()) {
    archive_read_support_filter_all(a_);
    archive_read_support_format_zip_seekable(a_);
    archive_read_support_format_7zip(a_);
    opened_ = archive_read_open_filename(a_, path.c_str(), 1 << 20) == ARCHIVE_OK;
  }
  ~Archive() { archive_read_free(a_); }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  bool opened() const { return opened_; }
  archive* get() const { return a_; }
  std::string Error(const std::string& what) const {
    const char* why = archive_error_string(a_);
    return what + (why != nullptr ? std::string(": ") + why : std::string());
  }

 private:
  archive* a_;
  bool opened_ = false;
};

// An entry's data as libarchive gives it, holes filled with zeros.
class EntrySource final : public fat::ByteSource {
 public:
  EntrySource(archive* a, std::optional<std::uint64_t> size) : a_(a), size_(size) {}

  Chunk Read(std::uint8_t* buffer, std::size_t size) override {
    while (blockAt_ >= blockSize_ && !end_) {
      const void* block = nullptr;
      size_t length = 0;
      la_int64_t offset = 0;
      const int r = archive_read_data_block(a_, &block, &length, &offset);
      if (r == ARCHIVE_EOF) {
        end_ = true;
        break;
      }
      // A warning here is a damaged entry (a checksum that does not match).
      if (r != ARCHIVE_OK) {
        failed_ = true;
        return {0, Failure::Errno(FailureKind::InvalidData, archive_errno(a_))};
      }
      block_ = static_cast<const std::uint8_t*>(block);
      blockSize_ = length;
      blockAt_ = 0;
      blockOffset_ = static_cast<std::uint64_t>(offset);
    }
    // A hole before the block, or at the end of a file of known size.
    const std::uint64_t next = end_ ? size_.value_or(position_) : blockOffset_;
    if (position_ < next) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size, next - position_));
      std::memset(buffer, 0, n);
      position_ += n;
      return {n, {}};
    }
    if (end_) return {};
    const std::size_t n = std::min(size, blockSize_ - blockAt_);
    std::memcpy(buffer, block_ + blockAt_, n);
    blockAt_ += n;
    position_ += n;
    return {n, {}};
  }

  bool failed() const { return failed_; }

 private:
  archive* a_;
  std::optional<std::uint64_t> size_;
  const std::uint8_t* block_ = nullptr;
  std::size_t blockSize_ = 0, blockAt_ = 0;
  std::uint64_t blockOffset_ = 0, position_ = 0;
  bool end_ = false, failed_ = false;
};

}  // namespace

ArchivePlan PlanArchive(const std::string& path) {
  ArchivePlan plan;
  Archive in(path);
  auto fail = [&](std::uint32_t code, std::string why) {
    plan.exitCode = plan.exitCode == 0 ? code : plan.exitCode;
    plan.problems.push_back(std::move(why));
  };
  if (!in.opened()) {
    fail(kArchiveUnreadable, in.Error("cannot be read"));
    return plan;
  }
  // Every name and every folder it implies, by the key FAT compares names
  // with: the first spelling, and whether it is a folder.
  std::map<std::string, std::pair<std::string, bool>> seen;
  auto claim = [&](const std::string& name, bool folder) {
    const auto [it, fresh] = seen.emplace(fat::FoldName(name), std::make_pair(name, folder));
    if (fresh) return;
    if (it->second.first != name) {
      fail(kArchiveDoesNotFit,
           name + ": the card cannot hold it beside " + it->second.first + " (FAT does not tell names apart by case)");
    } else if (it->second.second != folder) {
      fail(kArchiveDoesNotFit, name + ": both a file and a folder");
    }
  };
  archive_entry* entry = nullptr;
  for (;;) {
    const int rc = archive_read_next_header(in.get(), &entry);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN) {
      fail(kArchiveUnreadable, in.Error("damaged archive"));
      return plan;
    }
    const char* rawName = archive_entry_pathname(entry);
    const std::string raw = rawName != nullptr ? rawName : "";
    const auto type = archive_entry_filetype(entry);
    // Only plain files and folders, named inside the card.
    if (!SafeRelativePath(raw) || (type != AE_IFREG && type != AE_IFDIR) || archive_entry_hardlink(entry) != nullptr) {
      fail(kArchiveUnsafe, "the archive holds an entry that is not a plain file or folder inside the card: " + raw);
      continue;
    }
    const std::string name = CardName(raw);
    if (name.empty()) continue;
    bool good = true;
    std::string prefix;
    for (const std::string& part : fat::SplitPath(name)) {
      if (const fat::NameProblem p = fat::CheckLongName(part); p != fat::NameProblem::None) {
        fail(kArchiveDoesNotFit, name + ": FAT cannot hold the name (" + fat::Describe(p) + ")");
        good = false;
        break;
      }
      prefix += prefix.empty() ? part : "/" + part;
      if (prefix.size() < name.size()) claim(prefix, true);
    }
    if (!good) continue;
    claim(name, type == AE_IFDIR);
    if (type == AE_IFDIR) {
      ++plan.folders;
      plan.names.push_back(name);
      continue;
    }
    const std::uint64_t size = archive_entry_size_is_set(entry)
                                   ? static_cast<std::uint64_t>(std::max<la_int64_t>(archive_entry_size(entry), 0))
                                   : 0;
    if (size > 0xFFFFFFFFull) {
      fail(kArchiveDoesNotFit, name + ": " + fat::Describe(fat::Fault::TooLarge));
      continue;
    }
    ++plan.files;
    plan.fileBytes += size;
    plan.sizes.push_back(size);
    plan.names.push_back(name);
  }
  if (plan.problems.empty() && plan.files == 0) fail(kArchiveUnreadable, "the archive holds no files");
  plan.ok = plan.problems.empty();
  return plan;
}

bool IsOneOfFirstFiles(const std::string& cardName, const std::vector<std::string>& first) {
  if (cardName.find('/') != std::string::npos) return false;
  return std::any_of(first.begin(), first.end(),
                     [&](const std::string& name) { return SameEntryName(cardName, name); });
}

bool FirstFilesComeLate(const std::vector<std::string>& cardNames, const std::vector<std::string>& first) {
  bool other = false;
  for (const std::string& name : cardNames) {
    if (!IsOneOfFirstFiles(name, first)) {
      other = true;
    } else if (other) {
      return true;
    }
  }
  return false;
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

namespace {

// Writes the archive's entries onto the card, a pass at a time, and notes
// what it wrote for the proof.
class ArchiveWriter {
 public:
  ArchiveWriter(const std::string& archive, const std::string& shownName, fat::Volume& volume, const ArchivePlan& plan,
                StepProgress& progress, std::function<void(const std::string&)> diagnose,
                std::map<std::string, WrittenEntry>& written)
      : archive_(archive),
        shownName_(shownName),
        v_(volume),
        plan_(plan),
        progress_(progress),
        count_(progress, plan.fileBytes),
        diagnose_(std::move(diagnose)),
        written_(written) {}

  // Writes the entries whose card names are wanted, in the archive's order.
  bool Pass(const std::function<bool(const std::string&)>& wanted) {
    Archive in(archive_);
    if (!in.opened()) {
      diagnose_(shownName_ + ": " + in.Error("cannot be read"));
      return false;
    }
    bool ok = true;
    archive_entry* entry = nullptr;
    for (int rc; ok && (rc = archive_read_next_header(in.get(), &entry)) != ARCHIVE_EOF;) {
      if (rc < ARCHIVE_WARN) {
        diagnose_(shownName_ + ": " + in.Error("damaged archive"));
        return false;
      }
      const char* rawName = archive_entry_pathname(entry);
      const std::string name = CardName(rawName != nullptr ? rawName : "");
      if (name.empty() || !wanted(name)) continue;
      fat::CreateOptions options;
      if (archive_entry_mtime_is_set(entry)) options.modified = LocalStamp(archive_entry_mtime(entry));
      if (archive_entry_filetype(entry) == AE_IFDIR) {
        ok = WriteFolder(name, options);
      } else {
        ok = WriteFile(in, entry, name, options);
      }
    }
    return ok;
  }

 private:
  bool WriteFolder(const std::string& name, const fat::CreateOptions& options) {
    const fat::Status s = v_.MakeFolders(name, options).status;
    if (!s) diagnose_("writing " + name + " to the card failed: " + Explain(s));
    written_[fat::FoldName(name)] = WrittenEntry{name, true, 0, 0, std::nullopt, std::nullopt};
    return static_cast<bool>(s);
  }

  bool WriteFile(Archive& in, archive_entry* entry, const std::string& name, fat::CreateOptions options) {
    const std::size_t slash = name.rfind('/');
    if (slash != std::string::npos) {
      if (const fat::Status s = v_.MakeFolders(name.substr(0, slash)).status; !s) {
        diagnose_("writing " + name + " to the card failed: " + Explain(s));
        return false;
      }
    }
    std::optional<std::uint64_t> size;
    if (archive_entry_size_is_set(entry)) size = static_cast<std::uint64_t>(archive_entry_size(entry));
    options.size = size;
    EntrySource entrySource(in.get(), size);
    DigestingSource digesting(entrySource);
    CountedSource source(digesting, count_);
    const fat::Result<fat::Entry> written = v_.WriteFile(name, source, options);
    if (!written.ok()) {
      diagnose_(entrySource.failed() ? shownName_ + ": " + in.Error("cannot unpack " + name)
                                     : "writing " + name + " to the card failed: " + Explain(written.status));
      return false;
    }
    written_[fat::FoldName(name)] =
        WrittenEntry{name, false, digesting.digest().length(), digesting.digest().Value(), std::nullopt, std::nullopt};
    bytes_ += written.value.size;
    if (++files_ % 16 == 0 && progress_.Visible())
      progress_.Update(std::to_string(files_) + " of " + std::to_string(plan_.files) + " files, " +
                       std::to_string(bytes_ >> 20) + " MB");
    return true;
  }

  const std::string& archive_;
  const std::string& shownName_;
  fat::Volume& v_;
  const ArchivePlan& plan_;
  StepProgress& progress_;
  ByteCount count_;
  std::function<void(const std::string&)> diagnose_;
  std::map<std::string, WrittenEntry>& written_;
  std::size_t files_ = 0;
  std::uint64_t bytes_ = 0;
};

// The clusters the archive's files and folders take on this volume.
std::uint64_t ClustersNeeded(const ArchivePlan& plan, const fat::VolumeInfo& info) {
  std::uint64_t clusters = plan.folders;
  for (std::uint64_t size : plan.sizes) clusters += (size + info.clusterBytes - 1) / info.clusterBytes;
  return clusters;
}

}  // namespace

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
    Diagnose(archive + ": " + std::strerror(why));
    return outcome;
  }
  close(fd);
  outcome.started = true;
  outcome.exitCode = kArchiveUnreadable;
  // Everything the archive's headers tell is checked before the card is.
  progress_.Begin("Installing: reading " + command.archive);
  const ArchivePlan plan = PlanArchive(archive);
  progress_.End();
  if (!plan.ok) {
    for (std::size_t i = 0; i < plan.problems.size() && i < kProblemsShown; ++i)
      Diagnose(command.archive + ": " + plan.problems[i]);
    if (plan.problems.size() > kProblemsShown)
      Diagnose(command.archive + ": " + std::to_string(plan.problems.size() - kProblemsShown) +
               " more entries as these");
    outcome.exitCode = plan.exitCode;
    return outcome;
  }
  if (WriteOntoTheCard(command, archive, plan, outcome.exitCode)) outcome.exitCode = 0;
  return outcome;
}

bool ArchiveInstaller::WriteOntoTheCard(const InstallerCommand& command, const std::string& archive,
                                        const ArchivePlan& plan, std::uint32_t& exitCode) {
  CardSession card = card_.Open(true);
  if (!card.volume) {
    Diagnose("writing the system files to the card failed: " + card.why);
    return false;
  }
  fat::Volume& v = *card.volume;
  const fat::VolumeInfo info = v.Info();
  if (const std::uint64_t clusters = ClustersNeeded(plan, info); clusters > info.freeClusters) {
    Diagnose(command.archive + ": the system needs " + std::to_string(clusters * info.clusterBytes >> 20) +
             " MB on the card, " + std::to_string(std::uint64_t{info.freeClusters} * info.clusterBytes >> 20) +
             " MB are free");
    exitCode = kArchiveDoesNotFit;
    return false;
  }
  // Archive order, except that the kind's system files go first when the
  // archive lists something before them: the boot sector finds its file
  // only among the root folder's first entries. Each file's clusters are
  // taken in one piece (its size is known), so BLDR, written onto the
  // empty card, lies in a row as its loader reads it.
  written_.clear();
  progress_.Begin("Installing: writing to the card");
  ArchiveWriter writer(
      archive, command.archive, v, plan, progress_, [this](const std::string& text) { Diagnose(text); }, written_);
  bool ok = true;
  if (FirstFilesComeLate(plan.names, command.firstFiles)) {
    auto first = [&](const std::string& name) { return IsOneOfFirstFiles(name, command.firstFiles); };
    ok = writer.Pass(first) && writer.Pass([&](const std::string& name) { return !first(name); });
  } else {
    ok = writer.Pass([](const std::string&) { return true; });
  }
  progress_.End();
  const fat::Status flushed = v.Flush();
  if (ok && !flushed) {
    Diagnose("writing the system files to the card failed: " + Explain(flushed));
    ok = false;
  }
  return ok;
}

bool ArchiveInstaller::ProveInstallation(const InstallerCommand& command, const std::vector<std::string>& systemFiles,
                                         std::uint32_t attributes) {
  std::map<std::string, WrittenEntry> expected = written_;
  // The system files the archive brought carry the marks; one it did not
  // bring is passed over, as the marking passes it over.
  for (const std::string& file : systemFiles) {
    std::string path = CardFat::VolumePath(file);
    path.erase(0, std::min(path.find_first_not_of('/'), path.size()));
    const auto it = expected.find(fat::FoldName(path));
    if (it != expected.end() && !it->second.folder)
      it->second.attributes = CardAttributes(static_cast<std::uint8_t>(attributes));
  }
  std::vector<WrittenEntry> entries;
  entries.reserve(expected.size());
  for (auto& [key, entry] : expected) entries.push_back(std::move(entry));

  progress_.Begin(std::string(kVerifyingStep) + ": reading " + command.archive + "'s files back from the card");
  std::vector<std::string> problems;
  CardSession card = card_.Open(false, true);
  if (!card.volume) {
    problems.push_back(card.why);
  } else {
    problems = ProveEntries(*card.volume, "", entries, &progress_);
  }
  progress_.End();
  for (std::size_t i = 0; i < problems.size() && i < kProblemsShown; ++i)
    Diagnose("the card does not hold what was installed: " + problems[i]);
  if (problems.size() > kProblemsShown)
    Diagnose("the card does not hold what was installed: " + std::to_string(problems.size() - kProblemsShown) +
             " more entries");
  return problems.empty();
}

}  // namespace tessarin::linux_port
