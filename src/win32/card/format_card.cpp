#include "win32/card/format_card.h"

#include <shellapi.h>

#include "card/card_types.h"

namespace tessarin {

static_assert(sizeof(void*) != 4 || sizeof(SHELLEXECUTEINFOA) == 60, "the 32-bit shell request");

BOOL CALLBACK FindFormatWindow(HWND window, LPARAM search) {
  auto* record = reinterpret_cast<FormatWindowSearch*>(search);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == record->processId) {
    record->window = window;
    return FALSE;
  }
  return TRUE;
}

std::optional<std::string> Win32Format::FormatProgramPath() {
  char buffer[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return std::nullopt;
  std::string path(buffer, length);
  if (path.back() != '\\') path += '\\';
  path += "format.com";
  return path;
}

std::string Win32Format::FormatParameters(const std::string& driveEntry) {
  std::string parameters(1, ToUpperAscii(DriveLetter(driveEntry)));
  parameters += ": /FS:FAT32 /Q /V:QV /X";
  return parameters;
}

bool Win32Format::FormatCard(const std::string& driveEntry) {
  lastRun_ = FormatRun{};
  const std::optional<std::string> program = FormatProgramPath();
  if (!program) return false;
  // The shell would answer a missing program with an error box of its own,
  // which nobody answers in an unattended restore.
  if (GetFileAttributesA(program->c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  const std::string parameters = FormatParameters(driveEntry);

  SHELLEXECUTEINFOA info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = nullptr;
  info.lpVerb = nullptr;
  info.lpFile = program->c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = nullptr;
  info.nShow = SW_HIDE;
  ShellExecuteExA(&info);
  const HANDLE process = info.hProcess;
  // Without a process there is no window to find.
  if (process == nullptr) return false;
  lastRun_.started = true;
  lastRun_.processId = GetProcessId(process);

  WaitForInputIdle(process, INFINITE);

  FormatWindowSearch search;
  for (unsigned attempt = 0; attempt < timings_.searchAttempts && search.window == nullptr; ++attempt) {
    Sleep(timings_.searchPauseMs);
    search.processId = lastRun_.processId;
    search.window = nullptr;
    EnumWindows(FindFormatWindow, reinterpret_cast<LPARAM>(&search));
  }
  if (search.window == nullptr) {
    CloseHandle(process);
    return false;
  }
  lastRun_.windowFound = true;

  bool formatted = false;
  for (;;) {
    const DWORD wait = WaitForSingleObject(process, timings_.answerWaitMs);
    if (wait != WAIT_TIMEOUT) {
      // Only an ended FORMAT that says it succeeded has formatted the card.
      DWORD exitCode = STILL_ACTIVE;
      if (wait == WAIT_OBJECT_0 && GetExitCodeProcess(process, &exitCode)) {
        lastRun_.ended = true;
        lastRun_.exitCode = exitCode;
        formatted = exitCode == 0;
      }
      break;
    }
    PostMessageA(search.window, WM_KEYDOWN, VK_RETURN, 0);
    if (++lastRun_.entersPosted >= timings_.enterLimit) break;
  }
  CloseHandle(process);
  return formatted;
}

void Win32Format::SettleAfterFormatting(const std::string& /*driveEntry*/) { Sleep(timings_.settleMs); }

}  // namespace tessarin
