// Formatting the card with the system's FORMAT command: started hidden from
// the system directory, its window found among the top-level windows, its
// prompts answered with Enter until it ends.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "card/format_port.h"

namespace tessarin {

// What FindFormatWindow is handed through EnumWindows: the process to look
// for and, once found, its first top-level window.
struct FormatWindowSearch {
  DWORD processId = 0;
  HWND window = nullptr;
};

// EnumWindows callback: stops at the first window of the searched process.
BOOL CALLBACK FindFormatWindow(HWND window, LPARAM search);

struct FormatTimings {
  unsigned searchAttempts = 30;  // window searches, each after a pause
  unsigned searchPauseMs = 100;
  unsigned enterLimit = 30;      // Enter keystrokes before giving up
  unsigned answerWaitMs = 1000;  // wait for FORMAT's end before each Enter
};

// How the last FormatCard call went, for the operator's support staff and
// for tests.
struct FormatRun {
  bool started = false;
  DWORD processId = 0;
  bool windowFound = false;
  unsigned entersPosted = 0;
  bool ended = false;
  DWORD exitCode = 0;
};

class Win32Format : public FormatPort {
 public:
  explicit Win32Format(FormatTimings timings = {}) : timings_(timings) {}

  // True only when FORMAT's window was found and FORMAT then ended with exit
  // code 0. FORMAT is never ended from here: when this gives up, it goes on
  // running hidden.
  bool FormatCard(const std::string& driveEntry) override;

  // "<system directory>\format.com". FORMAT runs with the rights of this
  // program, so it is never looked for where another program could be
  // planted (such as the working directory). None when the system
  // directory cannot be read whole.
  static std::optional<std::string> FormatProgramPath();

  // "E: /FS:FAT32 /Q /V:QV /X" for the drive entry's letter, upper-cased.
  static std::string FormatParameters(const std::string& driveEntry);

  const FormatRun& LastRun() const { return lastRun_; }

 private:
  FormatTimings timings_;
  FormatRun lastRun_;
};

}  // namespace tessarin
