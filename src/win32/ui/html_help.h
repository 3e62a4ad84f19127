// The HTML Help control, loaded on the first help request: from the
// location its class registration names, else by its plain library name.
// Once a load has failed, help stays off for the rest of the process.
#pragma once

#include <windows.h>

namespace tessarin::ui {

using HtmlHelpAFunction = HWND(WINAPI*)(HWND caller, LPCSTR file, UINT command, DWORD_PTR data);

extern HMODULE g_hHtmlHelpModule;
extern BOOL g_bHtmlHelpLoadFailed;
extern HtmlHelpAFunction g_pfnHtmlHelpA;

inline constexpr UINT kHhDisplayTopic = 0;  // HH_DISPLAY_TOPIC
inline constexpr DWORD kHelpPathSize = 260;

// The registered path of the HTML Help control into a 260-byte buffer;
// FALSE when the registry names none that fits.
BOOL FindHtmlHelpLibrary(char* path);
// The same read from another key, for the tests.
BOOL FindHtmlHelpLibraryAt(HKEY root, const char* subKey, char* path);

// HtmlHelpA of the control; no window when the control is not available.
HWND LaunchHtmlHelp(HWND caller, LPCSTR file, UINT command, DWORD_PTR data);

}  // namespace tessarin::ui
