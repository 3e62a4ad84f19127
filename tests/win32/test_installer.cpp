// A stand-in for the installer archives. It notes how it was started in
// the journal named by TESSARIN_INSTALLER_LOG, creates the files named in
// TESSARIN_INSTALLER_FILES (separated by ';') in its target folder (given
// as "-o<folder>" or after "-auto"), and ends with the exit code in
// TESSARIN_INSTALLER_EXIT after TESSARIN_INSTALLER_DELAY_MS.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string Env(const char* name) {
  char value[4096];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

void Append(const std::string& path, const std::string& line) {
  if (path.empty()) return;
  const HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  const std::string text = line + "\r\n";
  DWORD written = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(h);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string log = Env("TESSARIN_INSTALLER_LOG");
  char module[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, module, sizeof module);
  char cwd[MAX_PATH] = {};
  GetCurrentDirectoryA(sizeof cwd, cwd);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  Append(log, std::string("cmd=") + GetCommandLineA());
  Append(log, std::string("exe=") + module);
  Append(log, std::string("cwd=") + cwd);
  Append(log,
         "show=" + std::to_string(startup.dwFlags & STARTF_USESHOWWINDOW) + "," + std::to_string(startup.wShowWindow));

  std::string target;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-o", 0) == 0) target = arg.substr(2);
    if (arg == "-auto" && i + 1 < argc) target = argv[i + 1];
  }
  std::string files = Env("TESSARIN_INSTALLER_FILES");
  while (!target.empty() && !files.empty()) {
    const std::size_t cut = files.find(';');
    const std::string name = files.substr(0, cut);
    files = cut == std::string::npos ? std::string() : files.substr(cut + 1);
    if (name.empty()) continue;
    const std::string path = target + (target.back() == '\\' ? "" : "\\") + name;
    const HANDLE h =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(h, name.data(), static_cast<DWORD>(name.size()), &written, nullptr);
      CloseHandle(h);
    }
  }

  const std::string delay = Env("TESSARIN_INSTALLER_DELAY_MS");
  if (!delay.empty()) Sleep(std::strtoul(delay.c_str(), nullptr, 10));
  const std::string code = Env("TESSARIN_INSTALLER_EXIT");
  Append(log, "end");
  return code.empty() ? 0 : static_cast<int>(std::strtoul(code.c_str(), nullptr, 10));
}
