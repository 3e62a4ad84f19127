// The file work of the restore: card paths ("e:/Project") go to the card's
// FAT volume through mtools, every other path is a local file.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "card/file_port.h"
#include "linux/card_volume.h"
#include "linux/step_progress.h"

namespace tessarin::linux_port {

class CardFiles final : public FilePort {
 public:
  CardFiles(const CardVolume& card, std::function<void(const std::string&)> diagnostic, StepProgress& progress)
      : card_(card), diagnostic_(std::move(diagnostic)), progress_(progress) {}

  char Separator() const override { return '/'; }
  bool Exists(const std::string& path) override;
  PathPresence Probe(const std::string& path) override;
  // Local folders only.
  std::optional<std::vector<std::string>> ListFolders(const std::string& folder, const std::string& prefix) override;
  std::optional<std::string> ReadTextFile(const std::string& path, std::size_t maxBytes) override;
  bool WriteTextFile(const std::string& path, const std::string& text) override;
  std::optional<std::string> TempPath() override;
  std::optional<std::string> TempFileName(const std::string& directory, const std::string& prefix,
                                          unsigned unique) override;
  bool MakeDirectory(const std::string& path) override;
  bool CopyFolderTree(const std::string& source, const std::string& target) override;
  bool DeleteFolderTree(const std::string& path, std::uint16_t flags) override;
  std::optional<std::vector<TreeEntry>> ListTree(const std::string& root) override;
  bool SetAttributes(const std::string& path, std::uint32_t attributes) override;
  std::string CurrentDirectory() override;
  bool CanOpenForReading(const std::string& path) override;

 private:
  bool CopyFromCard(const std::string& source, const std::string& target);
  bool CopyToCard(const std::string& source, const std::string& target);
  bool MakeCardFolder(const std::string& path);
  void Report(const std::string& what, const ProcessResult& r);
  static std::optional<std::vector<TreeEntry>> LocalTree(const std::string& root);
  bool RestoreAttributes(const std::string& source, const std::string& cardFolder);
  // Counts the files a copy reports, for the progress line; nothing when
  // nobody watches.
  std::function<void(const std::string&)> FileCounter(std::size_t& done, std::size_t total);

  const CardVolume& card_;
  std::function<void(const std::string&)> diagnostic_;
  StepProgress& progress_;
  // The card attributes (hidden, system, read-only, no archive) of what was
  // copied from the card, by the local folder it went to: local files
  // cannot keep them, the copy back puts them on again.
  std::map<std::string, std::vector<EntryAttributes>> savedAttributes_;
  // The listing of the card folder a copy has just read, for the check of
  // that copy that follows at once (the card did not change in between);
  // every other call forgets it.
  std::optional<std::pair<std::string, std::vector<TreeEntry>>> justCopiedFrom_;
  // Likewise the listing of the local folder a copy to the card has just
  // read.
  std::optional<std::pair<std::string, std::vector<TreeEntry>>> justListedLocal_;
};

}  // namespace tessarin::linux_port
