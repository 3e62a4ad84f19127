#include "win32/ui/html_help.h"

#include <cstring>

namespace tessarin::ui {

HMODULE g_hHtmlHelpModule = nullptr;
BOOL g_bHtmlHelpLoadFailed = FALSE;
HtmlHelpAFunction g_pfnHtmlHelpA = nullptr;

namespace {
constexpr const char* kHtmlHelpClassKey = "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";
constexpr const char* kHtmlHelpLibrary = "hhctrl.ocx";
constexpr WORD kHtmlHelpAOrdinal = 14;
}  // namespace

BOOL FindHtmlHelpLibraryAt(HKEY root, const char* subKey, char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
  char value[kHelpPathSize] = {};
  DWORD type = REG_SZ;
  DWORD size = kHelpPathSize;
  BOOL found = FALSE;
  if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS) {
    value[kHelpPathSize - 1] = '\0';
    if (type == REG_EXPAND_SZ) {
      const DWORD n = ExpandEnvironmentStringsA(value, path, kHelpPathSize);
      found = n >= 1 && n <= kHelpPathSize;
    } else {
      std::strncpy(path, value, kHelpPathSize - 1);
      path[kHelpPathSize - 1] = '\0';
      found = TRUE;
    }
  }
  RegCloseKey(key);
  return found;
}

BOOL FindHtmlHelpLibrary(char* path) { return FindHtmlHelpLibraryAt(HKEY_CLASSES_ROOT, kHtmlHelpClassKey, path); }

HWND LaunchHtmlHelp(HWND caller, LPCSTR file, UINT command, DWORD_PTR data) {
  if (g_hHtmlHelpModule == nullptr && !g_bHtmlHelpLoadFailed) {
    char path[kHelpPathSize] = {};
    if (FindHtmlHelpLibrary(path)) g_hHtmlHelpModule = LoadLibraryA(path);
    if (g_hHtmlHelpModule == nullptr) g_hHtmlHelpModule = LoadLibraryA(kHtmlHelpLibrary);
    if (g_hHtmlHelpModule == nullptr) {
      g_bHtmlHelpLoadFailed = TRUE;
      return nullptr;
    }
  }
  if (g_hHtmlHelpModule == nullptr) return nullptr;
  if (g_pfnHtmlHelpA == nullptr) {
    FARPROC entry = GetProcAddress(g_hHtmlHelpModule, MAKEINTRESOURCEA(kHtmlHelpAOrdinal));
    if (entry == nullptr) {
      g_bHtmlHelpLoadFailed = TRUE;
      return nullptr;
    }
    g_pfnHtmlHelpA = reinterpret_cast<HtmlHelpAFunction>(reinterpret_cast<void*>(entry));
  }
  return g_pfnHtmlHelpA(caller, file, command, data);
}

}  // namespace tessarin::ui
