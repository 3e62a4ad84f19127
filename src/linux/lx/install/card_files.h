// The file work of the restore: card paths ("e:/Project") go to the card's
// FAT volume in process, every other path is a local file.
//
// A project folder saved from the card keeps, beside the plain copy, a
// list of its entries' short names and card attributes ("Project.names"
// next to "Project"): local files hold neither, and the copy back gives
// every file the short name it had on the card when that name is free.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "card/file_port.h"
#include "lx/card/card_fat.h"
#include "lx/support/step_progress.h"

namespace tessarin::linux_port {

// What the card said about an entry that its local copy cannot hold.
struct CardNames {
  std::string shortName;  // "ALARM_~1.CSV"
  std::uint8_t attributes = 0;
};

// The list beside a saved folder: "<saved folder>.names".
std::string NamesFileOf(const std::string& savedFolder);
// One line per entry: short name, attributes in hexadecimal and the path
// relative to the folder, separated by tabs (no FAT name holds a tab).
std::string FormatNames(const std::map<std::string, CardNames>& names);
// Lines whose path could not be joined below the saved folder (a way up,
// an empty component, a control character) are left out: the list lies
// beside the copy and is read as untrusted as the copy itself.
std::map<std::string, CardNames> ParseNames(const std::string& text);

// Where saved project folders go when the operator names no place:
// $TMPDIR when set and not empty, else /var/tmp (kept over a reboot,
// unlike /tmp on many systems).
std::string DefaultSaveFolder();
// True when folder lies on a file system held in memory only (tmpfs,
// ramfs): a copy saved there is gone after a power cut or a reboot.
bool OnVolatileFileSystem(const std::string& folder);

class CardFiles final : public FilePort {
 public:
  // diagnostic gets the details of a failure, for standard error; warn
  // adds a warning line to the operation log.
  CardFiles(const CardFat& card, std::function<void(const std::string&)> diagnostic,
            std::function<void(const std::string&)> warn, StepProgress& progress)
      : card_(card), diagnostic_(std::move(diagnostic)), warn_(std::move(warn)), progress_(progress) {}
  ~CardFiles() override;
  CardFiles(const CardFiles&) = delete;
  CardFiles& operator=(const CardFiles&) = delete;

  // The folder TempPath names from now on, instead of DefaultSaveFolder().
  void SetSaveFolder(std::string folder) { saveFolder_ = std::move(folder); }

  char Separator() const override { return '/'; }
  bool Exists(const std::string& path) override;
  PathPresence Probe(const std::string& path) override;
  // Local folders only. A folder another running restore holds (its
  // temporary folder, its project folder being saved or put back) is not
  // listed: it waits for nobody.
  std::optional<std::vector<std::string>> ListFolders(const std::string& folder, const std::string& prefix) override;
  std::optional<std::string> ReadTextFile(const std::string& path, std::size_t maxBytes) override;
  // Written to a new name beside the file, flushed, renamed over it, and
  // the folder flushed: a stop at any point leaves the old text or the new.
  bool WriteTextFile(const std::string& path, const std::string& text) override;
  bool RemoveFile(const std::string& path) override;
  // Links are not followed: what they point at is no part of the tree.
  bool FlushTree(const std::string& path) override;
  bool IsPrivateFolder(const std::string& path, std::string* why) override;
  // An exclusive flock on the folder, kept until ReleaseFolder or the end
  // of this object. A folder this object holds already (one it made) is
  // held once more without a second lock.
  bool HoldFolder(const std::string& path) override;
  void ReleaseFolder(const std::string& path) override;
  bool ReadFile(const std::string& path, const std::function<void(const std::uint8_t*, std::size_t)>& piece) override;
  // The save folder, ending with '/'.
  std::optional<std::string> TempPath() override;
  std::optional<std::string> TempFileName(const std::string& directory, const std::string& prefix,
                                          unsigned unique) override;
  // A local folder is made new, mode 0700, and held (flock) until the
  // restore ends: the temporary folder of a restore running is never taken
  // for one left behind, by restores of other cards running at the same
  // time. Anything at the path already fails it.
  bool MakeDirectory(const std::string& path) override;
  // From the card: every name the card gives is checked before anything
  // is written, and the copy is made below its own folder's descriptor,
  // each file and folder flushed. To the card: the saved copy is read
  // below its folder's descriptor, links in it not followed.
  bool CopyFolderTree(const std::string& source, const std::string& target) override;
  bool DeleteFolderTree(const std::string& path, std::uint16_t flags) override;
  std::optional<std::vector<TreeEntry>> ListTree(const std::string& root) override;
  bool SetAttributes(const std::string& path, std::uint32_t attributes) override;
  std::string CurrentDirectory() override;
  bool CanOpenForReading(const std::string& path) override;

 private:
  bool CopyFromCard(const std::string& source, const std::string& target);
  bool CopyToCard(const std::string& source, const std::string& target);
  // The copy back's parts: what the card is to get, written, then proved.
  struct SavedCopy;
  struct CardWrite;
  bool ReadSavedCopy(const std::string& root, const std::string& failed, SavedCopy& copy);
  CardWrite WriteSavedCopy(fat::Volume& volume, const std::string& cardRoot, SavedCopy& copy,
                           const std::string& target);
  bool ProveOnCard(const std::string& folder, const std::string& cardRoot, const CardWrite& write,
                   const std::string& failed);
  void ReportLeftBehind(const std::string& folder, const CardWrite& write, const std::string& failed);
  std::optional<std::vector<TreeEntry>> CardTree(const std::string& root);
  static std::optional<std::vector<TreeEntry>> LocalTree(const std::string& root);
  void Diagnose(const std::string& text) const {
    if (diagnostic_) diagnostic_(text);
  }
  // The card's volume for one step; when it cannot be opened, the
  // diagnostics say why after what failed, and the session has no volume.
  CardSession OpenCard(bool writable, const std::string& failed) const;
  void Forget() {
    justCopiedFrom_.reset();
    justListedLocal_.reset();
  }

  const CardFat& card_;
  std::function<void(const std::string&)> diagnostic_;
  std::function<void(const std::string&)> warn_;
  StepProgress& progress_;
  // The listing of the card folder a copy has just read, for the check of
  // that copy that follows at once (the card did not change in between);
  // every other call forgets it.
  std::optional<std::pair<std::string, std::vector<TreeEntry>>> justCopiedFrom_;
  // Likewise the listing of the local folder a copy to the card has just
  // read.
  std::optional<std::pair<std::string, std::vector<TreeEntry>>> justListedLocal_;
  // The local folders held, by path as given (without trailing '/'): a
  // descriptor of each, locked.
  std::map<std::string, int> heldFolders_;
  std::string saveFolder_;  // empty: DefaultSaveFolder()
};

}  // namespace tessarin::linux_port
