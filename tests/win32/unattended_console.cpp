// Runs the unattended restore over the Windows ports from a console, with
// message boxes written out instead of shown: "unattended_console /DRIVE:E"
// (an optional "/KIND:n" picks the system kind, 3 by default).
#include <windows.h>

#include <cstdio>
#include <string>

#include "restore/unattended_restore.h"
#include "win32_world.h"

namespace {

// The arguments after the program's own name, as the application gets them.
std::string Arguments() {
  const char* line = GetCommandLineA();
  bool quoted = false;
  for (; *line != '\0'; ++line) {
    if (*line == '"') quoted = !quoted;
    if (*line == ' ' && !quoted) break;
  }
  while (*line == ' ') ++line;
  return line;
}

}  // namespace

int main() {
  using namespace tessarin;
  const std::string arguments = Arguments();
  const std::size_t kind = arguments.find("/KIND:");
  if (kind != std::string::npos) g_nSystemKind = static_cast<SystemKind>(arguments[kind + 6] - '0');
  const std::optional<std::string> drive = FindUnattendedDrive(arguments);
  if (!drive) {
    std::printf("no /DRIVE: option: nothing to restore\n");
    return 2;
  }
  std::printf("unattended restore of %s, system kind %d\n", drive->c_str(), static_cast<int>(g_nSystemKind));
  std::fflush(stdout);
  test::Win32World world(true);
  const bool restored = RunUnattendedRestore(world.ctx, *drive);
  std::printf("unattended restore %s\n", restored ? "completed" : "stopped");
  return restored ? 0 : 1;
}
