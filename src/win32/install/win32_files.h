// The file work of project preservation and installation on Windows:
// temporary folders, the shell's copy and delete, attributes, the current
// directory. A path that does not fit its buffer fails the step; it is
// never used in a shortened form.
#pragma once

#include <windows.h>

#include "card/file_port.h"

namespace tessarin {

class Win32Files : public FilePort {
 public:
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
  // FindFirstFileA over "folder\prefix*", folders only.
  std::optional<std::vector<std::string>> ListFolders(const std::string& folder, const std::string& prefix) override;
  std::optional<std::string> ReadTextFile(const std::string& path, std::size_t maxBytes) override;
  bool WriteTextFile(const std::string& path, const std::string& text) override;
  std::optional<std::string> TempPath() override;
  std::optional<std::string> TempFileName(const std::string& directory, const std::string& prefix,
                                          unsigned unique) override;
  bool MakeDirectory(const std::string& path) override;
  // SHFileOperationA FO_COPY of "source\*" into target, flags
  // FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR.
  bool CopyFolderTree(const std::string& source, const std::string& target) override;
  // SHFileOperationA FO_DELETE with the given flags and an empty progress
  // title; only for a path that exists as a directory.
  bool DeleteFolderTree(const std::string& path, std::uint16_t flags) override;
  std::optional<std::vector<TreeEntry>> ListTree(const std::string& root) override;
  bool SetAttributes(const std::string& path, std::uint32_t attributes) override;
  std::string CurrentDirectory() override;
  bool CanOpenForReading(const std::string& path) override;
};

}  // namespace tessarin
