// The Windows ports put together the way the program puts them together,
// with an operator that answers on the console instead of a dialog.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "card/handle_card.h"
#include "restore/restore_context.h"
#include "win32/card/format_card.h"
#include "win32/card/win32_device_api.h"
#include "win32/install/win32_files.h"
#include "win32/install/win32_installer.h"
#include "win32/platform/win32_profile.h"
#include "win32/platform/win32_resources.h"
#include "win32/platform/win32_system.h"

namespace tessarin::test {

// Message boxes are written out (when echo is on) and answered with OK or
// Yes; log lines and the animation's state are kept.
class ConsoleOperator final : public OperatorPort {
 public:
  explicit ConsoleOperator(bool echo = false) : echo_(echo) {}

  struct Box {
    std::string text;
    unsigned flags;
  };
  std::vector<Box> boxes;
  std::vector<std::string> lines;
  unsigned animationStops = 0;

  int ShowMessageBox(const std::string& text, unsigned flags) override {
    boxes.push_back({text, flags});
    if (echo_) std::printf("[box 0x%02X] %s\n", flags, text.c_str());
    return (flags & kMbTypeMask) == kMbYesNo || (flags & kMbTypeMask) == kMbYesNoCancel ? kIdYes : kIdOk;
  }
  void AddLogLine(const std::string& line) override { Add(line); }
  void AddLogLineNoScroll(const std::string& line) override { Add(line); }
  void StartProgressAnimation() override {}
  void StopProgressAnimation() override { ++animationStops; }
  void SetBusy(bool) override {}
  DialogValues ExchangeIntoMembers() override { return {}; }

 private:
  void Add(const std::string& line) {
    lines.push_back(line);
    if (echo_) std::printf("%s\n", line.c_str());
  }
  bool echo_;
};

template <typename Device = Win32DeviceApi>
struct BasicWin32World {
  explicit BasicWin32World(bool echo = false, FormatTimings timings = {}) : ui(echo), format(timings) {}

  ConsoleOperator ui;
  Win32System system;
  Win32Resources resources;
  Device device;
  Win32Format format;
  Win32Installer installer;
  Win32Files files;
  Win32Profile profile;
  OperationLog cardLog{ui, system, resources};
  HandleCard card{device, cardLog};
  RestoreContext ctx{Ports{ui, system, resources, card, format, installer, files, profile}};
};

using Win32World = BasicWin32World<>;

}  // namespace tessarin::test
