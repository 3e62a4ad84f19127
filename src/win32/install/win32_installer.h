// Running the installer archive: a hidden process in the current directory,
// waited for without a time limit while the operator's window stays
// painted.
#pragma once

#include <windows.h>

#include "card/installer_port.h"

namespace tessarin {

class Win32Installer : public InstallerPort {
 public:
  // window: repainted while the installer runs; may be none (and set
  // later, once the dialog exists). pollMs: how often it is repainted.
  explicit Win32Installer(HWND window = nullptr, unsigned pollMs = 100) : window_(window), pollMs_(pollMs) {}

  void SetWindow(HWND window) { window_ = window; }

  // CreateProcessA with the command line in a writable buffer, no
  // application name (the platform's search finds the archive), the
  // window hidden, this process's environment and current directory. The
  // exit code is read once the process has ended, so any code the
  // installer returns, 259 included, is its verdict.
  InstallerOutcome RunInstaller(const InstallerCommand& command) override;

  // The installer is a program of its own, which writes through the file
  // system: what it wrote is known only to it, so there is nothing here
  // to compare the card with.
  bool ProveInstallation(const InstallerCommand&, const std::vector<std::string>&, std::uint32_t) override {
    return true;
  }

 private:
  HWND window_;
  unsigned pollMs_;
};

}  // namespace tessarin
