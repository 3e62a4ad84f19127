// The file work of project preservation and installation, and the files
// the restore reads from the working directory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tessarin {

// File attributes with the system's values.
inline constexpr std::uint32_t kAttrReadOnly = 0x01;
inline constexpr std::uint32_t kAttrHidden = 0x02;
inline constexpr std::uint32_t kAttrSystem = 0x04;
inline constexpr std::uint32_t kAttrArchive = 0x20;

// Shell operation flags.
inline constexpr std::uint16_t kFofSilent = 0x0004;
inline constexpr std::uint16_t kFofNoConfirmation = 0x0010;
inline constexpr std::uint16_t kFofNoConfirmMkdir = 0x0200;

// What is at a path: something, nothing, or no answer because what holds
// it cannot be read (a damaged volume, a medium that is gone, a failing
// tool). Only "nothing" is a safe ground for deleting a card's files.
enum class PathPresence { Present, Absent, Unreadable };

// One entry of a folder tree, named relative to the tree's root.
struct TreeEntry {
  std::string path;  // separated by the port's separator
  bool directory = false;
  std::uint64_t size = 0;
};

class FilePort {
 public:
  virtual ~FilePort() = default;

  // The separator of the platform's paths ('\\' on Windows).
  virtual char Separator() const = 0;

  // True when anything exists at the path (a test for existence only).
  virtual bool Exists(const std::string& path) = 0;

  // Whether anything exists at the path, telling a volume or folder that
  // cannot be read apart from one that holds nothing of that name.
  virtual PathPresence Probe(const std::string& path) = 0;

  // The names of the folders directly in folder whose names start with
  // prefix (in any case); none when folder cannot be read.
  virtual std::optional<std::vector<std::string>> ListFolders(const std::string& folder, const std::string& prefix) = 0;

  // A small text file's contents; none when it cannot be read or is larger
  // than maxBytes.
  virtual std::optional<std::string> ReadTextFile(const std::string& path, std::size_t maxBytes) = 0;
  // Writes a small text file whole, replacing one of that name. True only
  // once the text is durable: a power cut after it leaves either the whole
  // new text or none (the old file, or no file), never a part.
  virtual bool WriteTextFile(const std::string& path, const std::string& text) = 0;

  // Removes one file, durably (its folder flushed). False when it was
  // there and could not be removed.
  virtual bool RemoveFile(const std::string& path) = 0;

  // Makes a folder tree durable: every file and folder below path, and
  // path itself, written through to the medium. False when any part could
  // not be flushed.
  virtual bool FlushTree(const std::string& path) = 0;

  // Whether a folder may be trusted as a saved copy of the operator's
  // data: a real folder (no link), owned by the user running the program
  // and writable by nobody else. why, when given, gets the reason it is
  // not.
  virtual bool IsPrivateFolder(const std::string& path, std::string* why) = 0;

  // Holds a local folder for this restore until ReleaseFolder: no other
  // restore running takes it, nor lists it as one left behind. False when
  // another holds it already (or it cannot be held).
  virtual bool HoldFolder(const std::string& path) = 0;
  virtual void ReleaseFolder(const std::string& path) = 0;

  // Reads a local file from start to end in pieces; false when it cannot
  // be read whole.
  virtual bool ReadFile(const std::string& path,
                        const std::function<void(const std::uint8_t*, std::size_t)>& piece) = 0;

  // Where saved project folders go: the user's temporary directory (or
  // the place the platform keeps them), ending with a separator; none
  // when it cannot be determined.
  virtual std::optional<std::string> TempPath() = 0;

  // The name the platform's temporary-file naming forms for a non-zero
  // unique number (no file is created); none when it fails.
  virtual std::optional<std::string> TempFileName(const std::string& directory, const std::string& prefix,
                                                  unsigned unique) = 0;

  // Makes a new folder, private to the user (no other user may read or
  // write it). False when anything is there already (another restore may
  // have made it a moment ago), or it cannot be made.
  virtual bool MakeDirectory(const std::string& path) = 0;

  // Copies the contents of source into target (created when missing),
  // replacing files of the same name without asking and showing no
  // progress. False when the copy failed or could not be started.
  virtual bool CopyFolderTree(const std::string& source, const std::string& target) = 0;

  // Deletes a folder and everything in it. True when the folder existed as
  // a directory and was deleted without abort.
  virtual bool DeleteFolderTree(const std::string& path, std::uint16_t flags) = 0;

  // Every file and folder below root; none when root cannot be read.
  virtual std::optional<std::vector<TreeEntry>> ListTree(const std::string& root) = 0;

  // Replaces a file's attributes.
  virtual bool SetAttributes(const std::string& path, std::uint32_t attributes) = 0;

  // The process's current directory.
  virtual std::string CurrentDirectory() = 0;

  // True when the file can be opened for reading.
  virtual bool CanOpenForReading(const std::string& path) = 0;
};

}  // namespace tessarin
