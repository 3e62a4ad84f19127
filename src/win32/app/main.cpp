// The program's entry: the one application object, made when the program
// loads, runs the program.
#include <windows.h>

#include "win32/app/tessarin_app.h"

tessarin::ui::CTessarinApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return theApp.Run(instance, GetCommandLineA()); }
