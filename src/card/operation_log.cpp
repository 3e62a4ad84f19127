#include "card/operation_log.h"

namespace tessarin {

unsigned ApplyDefaultIcon(unsigned flags) {
  if ((flags & kMbIconMask) != 0) return flags;
  switch (flags & kMbTypeMask) {
    case kMbOk:
    case kMbOkCancel:
      return flags | kMbIconExclamation;
    case kMbYesNo:
    case kMbYesNoCancel:
      return flags | kMbIconQuestion;
    default:
      return flags;
  }
}

std::string ComposeSystemErrorText(const std::string& errorWord, const FailureDescription& description) {
  std::string text = errorWord;
  if (description.code) {
    text += ' ';
    text += std::to_string(static_cast<std::int32_t>(*description.code));
  }
  text += "\n\n";
  text += description.text ? *description.text : std::string("The system has no description of this error.");
  return text;
}

void OperationLog::Log(const std::string& message) { ui_.AddLogLine(system_.MakeTimeStamp() + message); }

void OperationLog::LogNoScroll(const std::string& message) {
  ui_.AddLogLineNoScroll(system_.MakeTimeStamp() + message);
}

int OperationLog::ShowMessageBox(const std::string& text, unsigned flags) {
  return ui_.ShowMessageBox(text, ApplyDefaultIcon(flags));
}

int OperationLog::ShowMessageBoxString(unsigned id, unsigned flags) {
  return ShowMessageBox(resources_.LoadResString(id), flags);
}

void OperationLog::ShowSystemError(const Failure& failure) {
  if (!failure) return;
  std::string text = ComposeSystemErrorText(resources_.LoadResString(IDS_ERROR), system_.DescribeFailure(failure));
  ui_.StopProgressAnimation();
  ShowMessageBox(text, kMbOk | kMbIconExclamation);
}

}  // namespace tessarin
