// The operation log and the operator's message boxes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "card/card_types.h"
#include "card/failure.h"
#include "card/operator_port.h"
#include "card/resource_port.h"
#include "card/system_port.h"
#include "res/string_ids.h"

namespace tessarin {

// The message prefixes of the log.
inline constexpr const char* kInfo = "::Info:: ";
inline constexpr const char* kWarning = "::Warning:: ";
inline constexpr const char* kError = "::Error:: ";

// An OK or OK/Cancel box without an icon gets the exclamation icon, a Yes/No
// or Yes/No/Cancel box the question icon.
unsigned ApplyDefaultIcon(unsigned flags);

// "Error 5\n\n<system text>": the word of string 103, the code as a signed
// decimal (left out when the failure has none), an empty line and the
// platform's text; never cut short.
std::string ComposeSystemErrorText(const std::string& errorWord, const FailureDescription& description);

class OperationLog {
 public:
  OperationLog(OperatorPort& ui, SystemPort& system, ResourcePort& resources)
      : ui_(ui), system_(system), resources_(resources) {}

  // A new time stamp followed directly by the message.
  void Log(const std::string& message);
  void LogNoScroll(const std::string& message);

  int ShowMessageBox(const std::string& text, unsigned flags);
  int ShowMessageBoxString(unsigned id, unsigned flags);
  // Stops the animation and shows the error box for a failure; nothing
  // when nothing failed.
  void ShowSystemError(const Failure& failure);

  void StopProgressAnimation() { ui_.StopProgressAnimation(); }
  std::string LoadResString(unsigned id) { return resources_.LoadResString(id); }

 private:
  OperatorPort& ui_;
  SystemPort& system_;
  ResourcePort& resources_;
};

}  // namespace tessarin
