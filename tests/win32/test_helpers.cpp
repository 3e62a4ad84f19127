#include "test_helpers.h"

#include <stdexcept>

namespace tessarin::test {

ScratchFolder::ScratchFolder(const std::string& name) {
  char temp[MAX_PATH] = {};
  GetTempPathA(sizeof temp, temp);
  static unsigned made = 0;
  path_ = std::string(temp) + "tessarin-" + name + "-" + std::to_string(GetCurrentProcessId()) + "-" +
          std::to_string(++made);
  RemoveTree(path_);
  if (!CreateDirectoryA(path_.c_str(), nullptr)) throw std::runtime_error("cannot make " + path_);
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
    return;
  }
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name != "." && name != "..") RemoveTree(path + "\\" + name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(path.c_str());
}

void WriteFileText(const std::string& path, const std::string& text) {
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write " + path);
  DWORD written = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(h);
}

std::string ReadFileText(const std::string& path) {
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string text;
  char chunk[4096];
  DWORD n = 0;
  while (ReadFile(h, chunk, sizeof chunk, &n, nullptr) && n > 0) text.append(chunk, n);
  CloseHandle(h);
  return text;
}

bool IsDirectory(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string ProgramFolder() {
  char module[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, module, sizeof module);
  std::string path = module;
  return path.substr(0, path.find_last_of('\\'));
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  const std::string text = ReadFileText(path);
  if (text == "<missing>") return lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
  char old[4096];
  const DWORD n = GetEnvironmentVariableA(name.c_str(), old, sizeof old);
  had_ = n > 0 && n < sizeof old;
  if (had_) old_.assign(old, n);
  SetEnvironmentVariableA(name.c_str(), value.c_str());
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableA(name_.c_str(), had_ ? old_.c_str() : nullptr); }

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::string& path) {
  char old[MAX_PATH] = {};
  GetCurrentDirectoryA(sizeof old, old);
  old_ = old;
  SetCurrentDirectoryA(path.c_str());
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() { SetCurrentDirectoryA(old_.c_str()); }

}  // namespace tessarin::test
