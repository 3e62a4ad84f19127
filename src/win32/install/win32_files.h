// The file work of project preservation and installation on Windows:
// temporary folders, the shell's copy and delete, attributes, the current
// directory, and what keeps a saved copy safe: durable writes, private
// folders and holds. A path that does not fit its buffer fails the step; it
// is never used in a shortened form. A name listed from a folder (a card's,
// or a saved copy's) is joined into a path only when it is one plain
// component (WhyNameUnsafe).
#pragma once

#include <windows.h>

#include <map>

#include "card/file_port.h"

namespace tessarin {

class Win32Files : public FilePort {
 public:
  Win32Files() = default;
  // The holds end with the object.
  ~Win32Files() override;
  Win32Files(const Win32Files&) = delete;
  Win32Files& operator=(const Win32Files&) = delete;

  // The longest folder CopyFolderTree takes: MAX_PATH with room for "\*"
  // (on the source) and the two closing NULs.
  static constexpr std::size_t kMaxCopyPath = MAX_PATH - 2;
  // The longest folder DeleteFolderTree takes.
  static constexpr std::size_t kMaxDeletePath = MAX_PATH;

  char Separator() const override { return '\\'; }
  bool Exists(const std::string& path) override;
  // GetFileAttributesA: "not found" answers are Absent, any other failure
  // (a volume Windows cannot read, no medium, a device error) Unreadable.
  PathPresence Probe(const std::string& path) override;
  // FindFirstFileA over "folder\prefix*", folders only. A name that could
  // not be one component of a path is no folder anyone can use, and is
  // left out.
  std::optional<std::vector<std::string>> ListFolders(const std::string& folder, const std::string& prefix) override;
  std::optional<std::string> ReadTextFile(const std::string& path, std::size_t maxBytes) override;
  // The text goes to "path.new" beside the file (kWriteTextSuffix), is
  // flushed, and replaces the file by MoveFileExA with
  // MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH; the folder is then
  // flushed where its system allows. A failed write removes "path.new"; a
  // stop between the two steps may leave it, and the next write of the same
  // file takes it over.
  bool WriteTextFile(const std::string& path, const std::string& text) override;
  static constexpr const char* kWriteTextSuffix = ".new";
  // DeleteFileA; a file that is not there counts as removed. The folder's
  // entry is made durable as FlushTree makes folders durable.
  bool RemoveFile(const std::string& path) override;
  // Every file below path: opened for writing (a read-only one has its
  // attribute lifted for the open only) and FlushFileBuffers. The folders'
  // entries: FlushFileBuffers on the volume that holds path (commits every
  // file and folder of it; the program runs as an administrator, which
  // that needs); where the volume cannot be flushed, on every folder's own
  // handle (CreateFileA with FILE_FLAG_BACKUP_SEMANTICS). False when a file
  // cannot be flushed, a name below path is unsafe, or neither way flushes
  // the folders.
  bool FlushTree(const std::string& path) override;
  // A directory that is no reparse point (junction, symbolic link), whose
  // owner is the user running the program or the Administrators group (a
  // folder made by an elevated program is owned by the group), and whose
  // access list lets no one else change it: only that user, the
  // Administrators group, SYSTEM and the owner hold a right to add, delete
  // or rewrite (entries only passed on to what is made inside do not
  // count). A folder without an owner (its volume keeps none) is no private
  // folder.
  bool IsPrivateFolder(const std::string& path, std::string* why) override;
  // A hold is a named mutex, "Global\Tessarin.Hold.<volume serial>.<file
  // index>" of the folder (the folder's identity, however its path is
  // spelt), that exists as long as this object keeps it; Windows ends it
  // with the process. A program not run as an administrator may not make
  // global names: its hold is "Local\Tessarin.Hold..." and seen in its
  // session only. The folder itself stays open to everything: a share mode
  // on it would also refuse the rename that writes its note and the
  // deletion of the folder. False when the folder is not there or the name
  // exists already (held by this object, another, or another program).
  bool HoldFolder(const std::string& path) override;
  void ReleaseFolder(const std::string& path) override;
  // GENERIC_READ, shared for reading only, in pieces of 64 KiB.
  bool ReadFile(const std::string& path, const std::function<void(const std::uint8_t*, std::size_t)>& piece) override;
  std::optional<std::string> TempPath() override;
  std::optional<std::string> TempFileName(const std::string& directory, const std::string& prefix,
                                          unsigned unique) override;
  // CreateDirectoryA (which fails when anything has the name) with an
  // access list of its own, not inherited: full control for the user
  // running the program, the Administrators group and SYSTEM, passed on to
  // everything made inside.
  bool MakeDirectory(const std::string& path) override;
  // SHFileOperationA FO_COPY of "source\*" into target, flags
  // FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR, once every name
  // below source has been found safe (the shell copies whole trees by
  // itself, so the names are checked before).
  bool CopyFolderTree(const std::string& source, const std::string& target) override;
  // SHFileOperationA FO_DELETE with the given flags and an empty progress
  // title; only for a path that exists as a directory.
  bool DeleteFolderTree(const std::string& path, std::uint16_t flags) override;
  // None also when a name below root could not be one component of a path.
  std::optional<std::vector<TreeEntry>> ListTree(const std::string& root) override;
  bool SetAttributes(const std::string& path, std::uint32_t attributes) override;
  std::string CurrentDirectory() override;
  bool CanOpenForReading(const std::string& path) override;

 private:
  std::map<std::string, HANDLE> holds_;  // by the path HoldFolder was given
};

}  // namespace tessarin
