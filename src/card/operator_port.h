// What the restore needs from the operator's side: the main dialog on
// Windows, the terminal on Linux.
#pragma once

#include <string>

namespace tessarin {

// The dialog's values after its exchange into the members.
struct DialogValues {
  std::string drive;  // DriveEntry of the chosen drive, or empty
  bool preserveProject = true;
};

class OperatorPort {
 public:
  virtual ~OperatorPort() = default;

  // One modal message box; the flags already carry an icon. Returns the
  // identifier of the button pressed (kIdOk, kIdYes, kIdNo, ...).
  virtual int ShowMessageBox(const std::string& text, unsigned flags) = 0;

  // Adds a complete log line (time stamp and message) and scrolls to it.
  virtual void AddLogLine(const std::string& line) = 0;
  // Adds a complete log line without scrolling.
  virtual void AddLogLineNoScroll(const std::string& line) = 0;

  // Plays frames 0 to 16 of the clip until stopped.
  virtual void StartProgressAnimation() = 0;
  // Stops the clip, shows its still frame and repaints.
  virtual void StopProgressAnimation() = 0;

  // Disables (busy) or enables the drive list, the check box, the restore
  // button and the exit button, in that order.
  virtual void SetBusy(bool busy) = 0;

  // Runs the dialog's exchange from the controls into the members.
  virtual DialogValues ExchangeIntoMembers() = 0;
};

}  // namespace tessarin
