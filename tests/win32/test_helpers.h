// What the Windows suite's tests share: folders of their own under the
// temporary directory, files written and read whole, the helper programs
// built beside the suite, and the environment the helpers read.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tessarin::test {

// A fresh, empty folder for one test, deleted with everything in it when
// the object goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& name);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

// Deletes a folder tree without the shell.
void RemoveTree(const std::string& path);

void WriteFileText(const std::string& path, const std::string& text);
// The file's bytes; "<missing>" when it cannot be read.
std::string ReadFileText(const std::string& path);
bool IsDirectory(const std::string& path);
bool IsFile(const std::string& path);

// The folder of the running test program, where the helpers are built.
std::string ProgramFolder();

// Lines of a helper's journal, without line ends.
std::vector<std::string> ReadLines(const std::string& path);

// Sets an environment variable for this process and the programs it
// starts, and takes it back when the object goes.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

// Changes the current directory for the object's lifetime.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::string& path);
  ~ScopedCurrentDirectory();

 private:
  std::string old_;
};

// The drive the suite's fixture makes in the Wine prefix: "q:" linked to a
// folder, "q::" to a FAT volume image for raw access.
inline constexpr char kTestDriveLetter = 'Q';
// The drive of names Windows would not make: "P:\Odd\sub" holds a file
// whose name has a control character, "P:\Slash" one whose name has a
// backslash, "P:\QV\x01" is a folder and "P:\Linked" a symbolic link to
// "P:\Fine".
inline constexpr char kPlantedDriveLetter = 'P';

}  // namespace tessarin::test
