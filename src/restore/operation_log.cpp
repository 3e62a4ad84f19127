#include "restore/operation_log.h"

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

std::string ComposeSystemErrorText(const std::string& errorWord, std::uint32_t code,
                                   const std::optional<std::string>& systemText) {
  std::string text = errorWord;
  text += ' ';
  text += std::to_string(static_cast<std::int32_t>(code));
  text += "\n\n";
  text += systemText ? *systemText : std::string("The system has no description of this error.");
  return text;
}

void OperationLog::Log(const std::string& message) { ui_.AddLogLine(system_.MakeTimeStamp() + message); }

void OperationLog::LogNoScroll(const std::string& message) {
  ui_.AddLogLineNoScroll(system_.MakeTimeStamp() + message);
}

int OperationLog::ShowMessageBox(const std::string& text, unsigned flags) {
  return ui_.ShowMessageBox(text, ApplyDefaultIcon(flags));
}

int OperationLog::ShowMessageBoxString(unsigned id, unsigned flags) { return ShowMessageBox(resources_.LoadResString(id), flags); }

void OperationLog::ShowSystemError(std::uint32_t code) {
  if (code == 0) return;
  std::string text = ComposeSystemErrorText(resources_.LoadResString(IDS_ERROR), code, system_.SystemErrorText(code));
  ui_.StopProgressAnimation();
  ShowMessageBox(text, kMbOk | kMbIconExclamation);
}

}  // namespace tessarin
