#include "win32/install/win32_files.h"

#include <shellapi.h>

#include <functional>

namespace tessarin {
namespace {

// A path in a buffer of its own, closed by the two NULs the shell wants.
std::string DoubleNulList(const std::string& path) {
  std::string list = path;
  list.push_back('\0');
  list.push_back('\0');
  return list;
}

// True for a folder that holds nothing.
bool IsEmptyFolder(const std::string& folder) {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool empty = true;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") empty = false;
  } while (empty && FindNextFileA(search, &found));
  FindClose(search);
  return empty;
}

}  // namespace

bool Win32Files::Exists(const std::string& path) {
  return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

PathPresence Win32Files::Probe(const std::string& path) {
  if (path.empty()) return PathPresence::Absent;
  if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return PathPresence::Present;
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return PathPresence::Absent;
    default:  // ERROR_UNRECOGNIZED_VOLUME, ERROR_NOT_READY, ERROR_FILE_CORRUPT, ERROR_CRC, ...
      return PathPresence::Unreadable;
  }
}

std::optional<std::vector<std::string>> Win32Files::ListFolders(const std::string& folder, const std::string& prefix) {
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '\\') pattern += '\\';
  pattern += prefix + "*";
  if (pattern.size() >= MAX_PATH) return std::nullopt;
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return names;
    return std::nullopt;
  }
  do {
    const std::string name = found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found));
  const DWORD error = GetLastError();
  FindClose(search);
  if (error != ERROR_NO_MORE_FILES) return std::nullopt;
  return names;
}

std::optional<std::string> Win32Files::ReadTextFile(const std::string& path, std::size_t maxBytes) {
  const HANDLE h =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(h, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0) {
    text.append(buffer, got);
    if (text.size() > maxBytes) {
      ok = false;
      break;
    }
  }
  CloseHandle(h);
  if (!ok) return std::nullopt;
  return text;
}

bool Win32Files::WriteTextFile(const std::string& path, const std::string& text) {
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
                  written == text.size() && FlushFileBuffers(h) != 0;
  return CloseHandle(h) != 0 && ok;
}

std::optional<std::string> Win32Files::TempPath() {
  char buffer[MAX_PATH] = {};
  const DWORD length = GetTempPathA(sizeof buffer, buffer);
  if (length == 0 || length >= sizeof buffer) return std::nullopt;
  return std::string(buffer, length);
}

std::optional<std::string> Win32Files::TempFileName(const std::string& directory, const std::string& prefix,
                                                    unsigned unique) {
  char buffer[MAX_PATH] = {};
  if (GetTempFileNameA(directory.c_str(), prefix.c_str(), unique, buffer) == 0) return std::nullopt;
  return std::string(buffer);
}

bool Win32Files::MakeDirectory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool Win32Files::CopyFolderTree(const std::string& source, const std::string& target) {
  const std::string from = source + "\\*";
  if (from.size() > kMaxCopyPath || target.size() > kMaxCopyPath) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  const DWORD attributes = GetFileAttributesA(source.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    // The shell reports nothing to copy as a success.
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  // The shell copies nothing from an empty folder and then makes no target
  // either; the copy of an empty project is an empty folder all the same.
  if (IsEmptyFolder(source)) {
    return CreateDirectoryA(target.c_str(), nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
  }
  const std::string fromList = DoubleNulList(from);
  const std::string toList = DoubleNulList(target);
  SHFILEOPSTRUCTA op{};
  op.hwnd = nullptr;
  op.wFunc = FO_COPY;
  op.pFrom = fromList.c_str();
  op.pTo = toList.c_str();
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
  const int result = SHFileOperationA(&op);
  return result == 0 && !op.fAnyOperationsAborted;
}

bool Win32Files::DeleteFolderTree(const std::string& path, std::uint16_t flags) {
  if (path.empty()) return false;
  if (path.size() > kMaxDeletePath) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  const std::string fromList = DoubleNulList(path);
  SHFILEOPSTRUCTA op{};
  op.hwnd = nullptr;
  op.wFunc = FO_DELETE;
  op.pFrom = fromList.c_str();
  op.pTo = nullptr;
  op.fFlags = flags;
  op.lpszProgressTitle = "";
  const int result = SHFileOperationA(&op);
  return result == 0 && !op.fAnyOperationsAborted;
}

std::optional<std::vector<TreeEntry>> Win32Files::ListTree(const std::string& root) {
  std::vector<TreeEntry> entries;
  // Walks one folder; false when it cannot be read whole.
  std::function<bool(const std::string&, const std::string&)> walk = [&](const std::string& folder,
                                                                         const std::string& relative) {
    const std::string pattern = folder + "\\*";
    if (pattern.size() >= MAX_PATH) return false;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      TreeEntry entry;
      entry.path = relative.empty() ? name : relative + "\\" + name;
      entry.directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.size = entry.directory ? 0 : (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
      entries.push_back(entry);
      if (entry.directory && !walk(folder + "\\" + name, entry.path)) ok = false;
    } while (ok && FindNextFileA(search, &found));
    const DWORD error = ok ? GetLastError() : 0;
    FindClose(search);
    return ok && error == ERROR_NO_MORE_FILES;
  };
  if (!walk(root, "")) return std::nullopt;
  return entries;
}

bool Win32Files::SetAttributes(const std::string& path, std::uint32_t attributes) {
  return SetFileAttributesA(path.c_str(), attributes) != 0;
}

std::string Win32Files::CurrentDirectory() {
  // Sized to the directory, so a deep working directory is never cut.
  DWORD size = MAX_PATH;
  for (int tries = 0; tries < 4; ++tries) {
    std::string buffer(size, '\0');
    const DWORD length = GetCurrentDirectoryA(size, buffer.data());
    if (length == 0) return {};
    if (length < size) {
      buffer.resize(length);
      return buffer;
    }
    size = length + 1;
  }
  return {};
}

bool Win32Files::CanOpenForReading(const std::string& path) {
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

}  // namespace tessarin
