// What one restore tells besides the terminal: the report for machines
// (--json), the service record (--log) and, for a card among several, the
// program that restores them all. The terminal operator passes every log
// line, message and step of progress on to each listener.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessarin::linux_port {

class RunListener {
 public:
  virtual ~RunListener() = default;
  // A log line as the dialog lists it: the time stamp, then the message.
  virtual void OnLogLine(const std::string& /*line*/) {}
  // A message box with the answer it got (kIdOk for a box without a
  // question).
  virtual void OnMessage(const std::string& /*text*/, unsigned /*flags*/, int /*answer*/) {}
  // A failure of a tool or the system's reason, as standard error has it.
  virtual void OnDiagnostic(const std::string& /*text*/) {}
  // A long step (formatting, unpacking, copying) begins, tells where it
  // is, moves on (bytes or files done of a total), and ends.
  virtual void OnStepBegin(const std::string& /*step*/) {}
  virtual void OnStepDetail(const std::string& /*detail*/) {}
  virtual void OnStepAdvance(std::uint64_t /*done*/, std::uint64_t /*total*/) {}
  virtual void OnStepEnd() {}
};

// The steps of the restore sequence as its log lines begin and end them.
struct SequenceStep {
  const char* id;  // "format", "firmware", ...
  bool begins;     // false: the line ends the step
};
// The step a log message (the line without its time stamp) begins or ends.
std::optional<SequenceStep> SequenceStepOf(std::string_view message);

// A log line's parts: the time stamp, the level ("info", "warning",
// "error"; empty for a line without one) and the text after the level.
struct LogLineParts {
  std::string time;
  std::string level;
  std::string text;
};
LogLineParts SplitLogLine(const std::string& line);

// The exit statuses of a restore, and what each means in the reports.
enum ExitStatus : int {
  kExitRestored = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitDeclined = 3,
  kExitProjectNotRestored = 4,
  kExitInterrupted = 130,
};
// "restored", "failed", "refused", "declined", "project-not-restored",
// "stopped".
const char* ResultName(int status);

}  // namespace tessarin::linux_port
