// The operation log and the operator's message boxes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "card/card_types.h"
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
// decimal, an empty line and the system's text; never cut short.
std::string ComposeSystemErrorText(const std::string& errorWord, std::uint32_t code,
                                   const std::optional<std::string>& systemText);

class OperationLog {
 public:
  OperationLog(OperatorPort& ui, SystemPort& system, ResourcePort& resources)
      : ui_(ui), system_(system), resources_(resources) {}

  // A new time stamp followed directly by the message.
  void Log(const std::string& message);
  void LogNoScroll(const std::string& message);

  int ShowMessageBox(const std::string& text, unsigned flags);
  int ShowMessageBoxString(unsigned id, unsigned flags);
  void ShowSystemError(std::uint32_t code);

  void StopProgressAnimation() { ui_.StopProgressAnimation(); }
  std::string LoadResString(unsigned id) { return resources_.LoadResString(id); }

 private:
  OperatorPort& ui_;
  SystemPort& system_;
  ResourcePort& resources_;
};

}  // namespace tessarin
