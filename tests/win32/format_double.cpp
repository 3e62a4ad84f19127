// A stand-in for the system's FORMAT command, with a window of its own.
// TESSARIN_FORMAT_MODE says how it behaves:
//   "exit:<code>"           ends at once, before it has a window
//   "enters:<n>:<code>"     ends with <code> after the n-th Enter (n = 0:
//                           shortly after its window exists)
//   "never"                 answers every Enter and never ends
// It notes its start and every Enter in the journal named by
// TESSARIN_FORMAT_LOG.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string g_log;
long g_entersToEnd = -1;
int g_exitCode = 0;
long g_enters = 0;

std::string Env(const char* name) {
  char value[4096];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

void Append(const std::string& line) {
  if (g_log.empty()) return;
  const HANDLE h = CreateFileA(g_log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  const std::string text = line + "\r\n";
  DWORD written = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(h);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_KEYDOWN && wParam == VK_RETURN) {
    ++g_enters;
    Append("enter " + std::to_string(g_enters));
    if (g_entersToEnd >= 0 && g_enters >= g_entersToEnd) PostQuitMessage(g_exitCode);
    return 0;
  }
  if (message == WM_TIMER) {
    KillTimer(window, wParam);
    PostQuitMessage(g_exitCode);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  g_log = Env("TESSARIN_FORMAT_LOG");
  const std::string mode = Env("TESSARIN_FORMAT_MODE");
  char module[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, module, sizeof module);
  Append(std::string("cmd=") + GetCommandLineA());
  Append(std::string("exe=") + module);
  Append("show=" + std::to_string(show));

  if (mode.rfind("exit:", 0) == 0) {
    Append("end");
    return static_cast<int>(std::strtoul(mode.c_str() + 5, nullptr, 10));
  }
  if (mode.rfind("enters:", 0) == 0) {
    char* rest = nullptr;
    g_entersToEnd = std::strtol(mode.c_str() + 7, &rest, 10);
    if (rest != nullptr && *rest == ':') g_exitCode = static_cast<int>(std::strtoul(rest + 1, nullptr, 10));
  }

  WNDCLASSA cls{};
  cls.lpfnWndProc = WindowProc;
  cls.hInstance = instance;
  cls.lpszClassName = "TessarinFormatDouble";
  RegisterClassA(&cls);
  const HWND window = CreateWindowA(cls.lpszClassName, "FORMAT", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 200,
                                    100, nullptr, nullptr, instance, nullptr);
  ShowWindow(window, show);
  if (g_entersToEnd == 0) SetTimer(window, 1, 100, nullptr);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  Append("end");
  return static_cast<int>(message.wParam);
}
