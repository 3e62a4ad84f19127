#include "lx/support/run_events.h"

namespace tessarin::linux_port {
namespace {

struct StepLine {
  std::string_view message;
  SequenceStep step;
};

// The card steps' lines exactly as the restore logs them.
constexpr StepLine kStepLines[] = {
    {"::Info:: Backing up Project Folder.", {"backup-project", true}},
    {"::Info:: Backing up Project Folder completed.", {"backup-project", false}},
    {"::Warning:: No Project Folder found on drive.", {"backup-project", false}},
    {"::Info:: Forcing Lock on Volume.", {"first-lock", true}},
    {"::Info:: Forcing Lock on Volume Completed.", {"first-lock", false}},
    {"::Info:: Removing Lock on Volume.", {"first-unlock", true}},
    {"::Info:: Removeing Lock on Volume Completed.", {"first-unlock", false}},
    {"::Info:: Formatting Started.", {"format", true}},
    {"::Info:: Formatting Completed.", {"format", false}},
    {"::Info:: Locking Volume.", {"lock", true}},
    {"::Info:: Locking Volume Completed.", {"lock", false}},
    {"::Info:: Installing Master Boot Record.", {"master-boot-record", true}},
    {"::Info:: Installing Master Boot Record Completed.", {"master-boot-record", false}},
    {"::Info:: Installing BootSector.", {"boot-sector", true}},
    {"::Info:: Installing BootSector Completed.", {"boot-sector", false}},
    {"::Info:: Unlocking Volume.", {"unlock", true}},
    {"::Info:: Unlocking Volume Completed.", {"unlock", false}},
    {"::Info:: Installing Firmware... Please wait.", {"firmware", true}},
    {"::Info:: Installing Firmware Completed", {"firmware", false}},
    {"::Info:: Restoring Project Folder.", {"restore-project", true}},
    {"::Info:: Restoring Project Folder Completed.", {"restore-project", false}},
    {"::Info:: Cleaning up Temp Direcotry.", {"clean-up", true}},
    {"::Info:: Cleaning up Temp Direcotry Completed.", {"clean-up", false}},
};

constexpr std::string_view kLevels[][2] = {{"::Info:: ", "info"}, {"::Warning:: ", "warning"}, {"::Error:: ", "error"}};

}  // namespace

std::optional<SequenceStep> SequenceStepOf(std::string_view message) {
  for (const StepLine& line : kStepLines)
    if (line.message == message) return line.step;
  return std::nullopt;
}

LogLineParts SplitLogLine(const std::string& line) {
  LogLineParts parts;
  const std::size_t at = line.find("::");
  if (at == std::string::npos) {
    parts.text = line;
    return parts;
  }
  parts.time = line.substr(0, at);
  const std::string_view rest = std::string_view(line).substr(at);
  for (const auto& [prefix, level] : kLevels) {
    if (rest.substr(0, prefix.size()) == prefix) {
      parts.level = level;
      parts.text = rest.substr(prefix.size());
      return parts;
    }
  }
  parts.text = rest;
  return parts;
}

const char* ResultName(int status) {
  switch (status) {
    case kExitRestored:
      return "restored";
    case kExitUsage:
      return "refused";
    case kExitDeclined:
      return "declined";
    case kExitProjectNotRestored:
      return "project-not-restored";
    case kExitInterrupted:
      return "stopped";
    default:
      return "failed";
  }
}

}  // namespace tessarin::linux_port
