#include "win32/install/win32_installer.h"

#include <vector>

namespace tessarin {

static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOA) == 68, "the 32-bit start-up record");

InstallerOutcome Win32Installer::RunInstaller(const InstallerCommand& command) {
  InstallerOutcome outcome;

  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof process);

  // CreateProcessA may write into the command line.
  std::vector<char> commandLine(command.commandLine.begin(), command.commandLine.end());
  commandLine.push_back('\0');

  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    // Without a code the restore names it as it always has (invalid data).
    if (const DWORD code = GetLastError(); code != 0) outcome.error = Failure::Win32(FailureKind::Open, code);
    return outcome;
  }
  outcome.started = true;

  // Wait for the process itself, not for an exit code other than
  // STILL_ACTIVE: an installer may well return 259.
  for (;;) {
    const DWORD wait = WaitForSingleObject(process.hProcess, pollMs_);
    if (window_ != nullptr) UpdateWindow(window_);
    if (wait == WAIT_OBJECT_0) break;
    if (wait != WAIT_TIMEOUT) {
      // The handle cannot be waited on: the installer's end can never be
      // seen, so it cannot be judged a success.
      outcome.exitCode = STILL_ACTIVE;
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
      return outcome;
    }
  }

  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.hProcess, &exitCode)) exitCode = STILL_ACTIVE;
  outcome.exitCode = exitCode;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return outcome;
}

}  // namespace tessarin
