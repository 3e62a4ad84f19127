// Running the system's tools (mkfs.fat) as child processes.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tessarin::linux_port {

struct ProcessResult {
  bool started = false;  // false: the program could not be run at all
  int error = 0;         // errno when not started
  int exitCode = -1;     // its exit status; -1 when killed by a signal
  std::string output;    // standard output, unless a line handler took it
  std::string errors;    // standard error
  bool ok() const { return started && exitCode == 0; }
};

struct ProcessOptions {
  std::vector<std::pair<std::string, std::string>> environment;  // added to ours
  // Called with each line of standard output as it arrives; the output is
  // then not kept.
  std::function<void(const std::string&)> onLine;
  // Called with each line of standard error that starts with this text
  // (a tool's report of its progress); such lines are not kept.
  std::string progressPrefix;
  std::function<void(const std::string&)> onProgress;
};

// Runs argv[0] (found on PATH) with standard input from /dev/null and waits
// for its end.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Opens /dev/null on whichever of the standard descriptors 0, 1 and 2 is
// closed, before anything else is opened: the card must never become
// "standard output" and receive the log. False when one cannot be opened.
bool ReopenClosedStandardDescriptors();

// The first line of a tool's error output, for messages.
std::string FirstLine(const std::string& text);
// All non-empty lines of a tool's error output, joined with "; ".
std::string JoinLines(const std::string& text);

}  // namespace tessarin::linux_port
